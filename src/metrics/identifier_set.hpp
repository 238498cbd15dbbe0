// An exact set of unsigned 64-bit identifiers for one call of
// compute_retrieval_metrics.
//
// Open addressing with linear probing in a power-of-two table that is sized
// once, for the length of the list it is built from, to at least twice that
// length, so the load never exceeds 50% whatever the duplicates and the
// table never grows. Membership is exact on the whole 64-bit value: every
// value, 0, 2^63 and 2^64 - 1 included, is an ordinary identifier. A slot
// holding 0 means "empty"; the identifier 0 itself is therefore never stored
// in the table but recorded in a separate flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "buffer.hpp"

namespace metrics {

class IdentifierSet {
 public:
  // The distinct identifiers of `values`. Throws InternalFailure("capacity
  // overflow") when the table for that length cannot be represented and
  // AllocationFailure when its memory cannot be obtained.
  explicit IdentifierSet(std::span<const std::uint64_t> values);

  // Number of distinct identifiers.
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Number of table slots: 0 for an empty list, otherwise the smallest power
  // of two that is at least twice the list's length.
  std::size_t table_size() const noexcept { return slots_.size(); }

  bool contains(std::uint64_t value) const noexcept {
    if (value == kEmpty) return has_empty_value_;
    if (slots_.empty()) return false;
    std::size_t index = slot_of(value);
    for (;;) {
      const std::uint64_t stored = slots_[index];
      if (stored == value) return true;
      if (stored == kEmpty) return false;
      index = (index + 1) & mask_;
    }
  }

  // Calls visit(value) once for each distinct identifier, in no particular
  // order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    if (has_empty_value_) visit(kEmpty);
    for (const std::uint64_t stored : slots_) {
      if (stored != kEmpty) visit(stored);
    }
  }

  // The table size used for a list of `length` identifiers (see
  // table_size()).
  static std::size_t table_size_for(std::size_t length);

 private:
  static constexpr std::uint64_t kEmpty = 0;

  // A 64-bit mixing function (the MurmurHash3 finaliser, a bijection) so that
  // sequential or strided identifiers spread over the table; the low bits
  // select the slot.
  static std::uint64_t mix(std::uint64_t value) noexcept {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb93fe53ec4f9ULL;
    value ^= value >> 33;
    return value;
  }
  std::size_t slot_of(std::uint64_t value) const noexcept {
    return static_cast<std::size_t>(mix(value)) & mask_;
  }

  void insert(std::uint64_t value);

  Buffer<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
  bool has_empty_value_ = false;
};

// The number of identifiers in both sets, counted by walking the smaller set
// and probing the other.
std::size_t intersection_size(const IdentifierSet& a, const IdentifierSet& b);

}  // namespace metrics
