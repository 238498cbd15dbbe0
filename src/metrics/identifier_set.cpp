#include "identifier_set.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "failure.hpp"

namespace metrics {

namespace {

// A seed that differs between calls and cannot be seen from outside: the
// addresses of the list's storage and of this call's stack frame.
std::uint64_t seed_for(std::span<const std::uint64_t> values) noexcept {
  const int on_stack = 0;
  const auto data = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(values.data()));
  const auto frame = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&on_stack));
  return IdentifierSet::mix(data ^ IdentifierSet::mix(frame + values.size()));
}

}  // namespace

std::size_t IdentifierSet::table_size_for(std::size_t length) {
  if (length == 0) return 0;
  // 2 * length rounded up to a power of two must itself be representable.
  constexpr std::size_t kMaxLength = (std::numeric_limits<std::size_t>::max() >> 2) + 1;
  if (length > kMaxLength) throw InternalFailure("capacity overflow");
  return std::bit_ceil(2 * length);
}

IdentifierSet::IdentifierSet(std::span<const std::uint64_t> values)
    : IdentifierSet(values, seed_for(values)) {}

IdentifierSet::IdentifierSet(std::span<const std::uint64_t> values, std::uint64_t seed)
    : slots_(table_size_for(values.size()), kEmpty), seed_(seed) {
  if (!slots_.empty()) mask_ = slots_.size() - 1;
  for (const std::uint64_t value : values) {
    if (!insert(value)) {
      sort_values(values);
      return;
    }
  }
}

bool IdentifierSet::insert(std::uint64_t value) {
  if (value == kEmpty) {
    if (!has_empty_value_) {
      has_empty_value_ = true;
      ++size_;
    }
    return true;
  }
  // The table has at least twice as many slots as the list has elements, so
  // an empty slot is always reached; but not always soon.
  std::size_t index = slot_of(value);
  for (std::size_t probes = 0; probes < kMaxProbes; ++probes) {
    std::uint64_t& stored = slots_[index];
    if (stored == value) return true;
    if (stored == kEmpty) {
      stored = value;
      ++size_;
      return true;
    }
    index = (index + 1) & mask_;
  }
  return false;
}

void IdentifierSet::sort_values(std::span<const std::uint64_t> values) {
  // The table goes first, so that the two never take memory at once.
  Buffer<std::uint64_t>().swap(slots_);
  mask_ = 0;
  sorted_.reserve(values.size());
  for (const std::uint64_t value : values) {
    if (value != kEmpty) {
      sorted_.push_back(value);
    } else {
      has_empty_value_ = true;
    }
  }
  // std::sort is O(n log n) in the worst case, whatever the values.
  std::sort(sorted_.begin(), sorted_.end());
  sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
  size_ = sorted_.size() + (has_empty_value_ ? 1 : 0);
  sorted_ready_ = true;
}

bool IdentifierSet::sorted_contains(std::uint64_t value) const noexcept {
  return std::binary_search(sorted_.begin(), sorted_.end(), value);
}

bool IdentifierSet::contains_after_long_walk(std::uint64_t value) const {
  // The table stays (for_each walks it); lookups from now on use the
  // sorted copy of its values.
  sorted_.reserve(size_);
  for (const std::uint64_t stored : slots_) {
    if (stored != kEmpty) sorted_.push_back(stored);
  }
  std::sort(sorted_.begin(), sorted_.end());
  sorted_ready_ = true;
  return sorted_contains(value);
}

std::size_t intersection_size(const IdentifierSet& a, const IdentifierSet& b) {
  const IdentifierSet& smaller = a.size() <= b.size() ? a : b;
  const IdentifierSet& larger = a.size() <= b.size() ? b : a;
  std::size_t count = 0;
  smaller.for_each([&](std::uint64_t value) {
    if (larger.contains(value)) ++count;
  });
  return count;
}

}  // namespace metrics
