#include "identifier_set.hpp"

#include <bit>
#include <limits>

#include "failure.hpp"

namespace metrics {

std::size_t IdentifierSet::table_size_for(std::size_t length) {
  if (length == 0) return 0;
  // 2 * length rounded up to a power of two must itself be representable.
  constexpr std::size_t kMaxLength = (std::numeric_limits<std::size_t>::max() >> 2) + 1;
  if (length > kMaxLength) throw InternalFailure("capacity overflow");
  return std::bit_ceil(2 * length);
}

IdentifierSet::IdentifierSet(std::span<const std::uint64_t> values)
    : slots_(table_size_for(values.size()), kEmpty) {
  if (!slots_.empty()) mask_ = slots_.size() - 1;
  for (const std::uint64_t value : values) insert(value);
}

void IdentifierSet::insert(std::uint64_t value) {
  if (value == kEmpty) {
    if (!has_empty_value_) {
      has_empty_value_ = true;
      ++size_;
    }
    return;
  }
  // The table has at least twice as many slots as the list has elements, so
  // an empty slot is always reached.
  std::size_t index = slot_of(value);
  for (;;) {
    std::uint64_t& stored = slots_[index];
    if (stored == value) return;
    if (stored == kEmpty) {
      stored = value;
      ++size_;
      return;
    }
    index = (index + 1) & mask_;
  }
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
