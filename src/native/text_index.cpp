#include "text_index.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>

#include "mix64.hpp"

namespace vextral::native {

namespace {

using metrics::mix64;

std::uint64_t load_word(const char* bytes, std::size_t count) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes, count);
  return word;
}

}  // namespace

std::uint64_t text_hash(std::string_view text, std::uint64_t seed) noexcept {
  // The state starts from the seed and the length; each block enters it
  // before it is mixed. Mixing is a bijection, so two keys of one length
  // collide only when the states after their first differing block happen
  // to agree, which cannot be aimed at without the seed.
  const char* bytes = text.data();
  std::size_t left = text.size();
  std::uint64_t state = seed ^ (0x9e3779b97f4a7c15ULL * (left + 1));
  for (; left >= 8; left -= 8, bytes += 8) state = mix64(state ^ load_word(bytes, 8));
  if (left > 0 || text.empty()) state = mix64(state ^ load_word(bytes, left));
  return state;
}

std::uint64_t fresh_seed() noexcept {
  const int on_stack = 0;
  const auto frame = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&on_stack));
  const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return mix64(frame ^ mix64(ticks + 0x632be59bd9b4e019ULL));
}

void TextIndex::allocate(std::size_t slots) {
  slots_.assign(slots, Slot{kEmpty, 0});
  mask_ = slots - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
}

void TextIndex::clear() {
  const std::size_t fitting = std::max(kMinimumSlots, std::bit_ceil(2 * size_ + 1));
  if (ordered_) {
    tree_.clear();
    ordered_ = false;
    allocate(fitting);
  } else if (slots_.size() > 8 * fitting) {
    // Emptying a large table for each of many small sets would cost more
    // than the sets themselves.
    allocate(fitting);
  } else if (!slots_.empty()) {
    std::fill(slots_.begin(), slots_.end(), Slot{kEmpty, 0});
  }
  size_ = 0;
}

std::uint32_t TextIndex::find_ordered(std::string_view key) const {
  const auto found = tree_.find(key);
  return found == tree_.end() ? npos : found->second;
}

}  // namespace vextral::native
