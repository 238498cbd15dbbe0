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
//
// Identifiers come from callers who may choose them to collide. Two things
// keep a call's cost at O((n + m) log(n + m)) whatever the values:
//  - the slot of a value depends on a per-set seed (from addresses of this
//    call's own buffers, which callers cannot see), so collisions cannot be
//    prepared in advance;
//  - no probe walks more than kMaxProbes slots. Should a walk get that long
//    anyway, the set answers from a sorted array instead: an insertion that
//    runs into one sorts the whole list, a lookup that runs into one sorts
//    the table's values once, and from then on lookups binary-search it.
// With random slots a walk of kMaxProbes at 50% load is astronomically rare,
// so ordinary lists never pay for the sorted array.
#pragma once

#include "mix64.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

#include "buffer.hpp"

namespace metrics {

class IdentifierSet {
 public:
  // Longest probe walk before the set turns to its sorted array.
  static constexpr std::size_t kMaxProbes = 64;

  // The distinct identifiers of `values`. Throws InternalFailure("capacity
  // overflow") when the table for that length cannot be represented and
  // AllocationFailure when its memory cannot be obtained.
  explicit IdentifierSet(std::span<const std::uint64_t> values);
  // The same with a given seed, so that tests can aim collisions at it.
  IdentifierSet(std::span<const std::uint64_t> values, std::uint64_t seed);

  // Number of distinct identifiers.
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Number of table slots: 0 for an empty list, otherwise the smallest power
  // of two that is at least twice the list's length; 0 as well once an
  // insertion has turned the set to its sorted array.
  std::size_t table_size() const noexcept { return slots_.size(); }
  // Whether lookups are answered from the sorted array.
  bool uses_sorted_values() const noexcept { return sorted_ready_; }

  // May throw AllocationFailure when it needs the sorted array and its
  // memory cannot be obtained.
  bool contains(std::uint64_t value) const {
    if (value == kEmpty) return has_empty_value_;
    if (sorted_ready_) return sorted_contains(value);
    if (slots_.empty()) return false;
    std::size_t index = slot_of(value);
    for (std::size_t probes = 0; probes < kMaxProbes; ++probes) {
      const std::uint64_t stored = slots_[index];
      if (stored == value) return true;
      if (stored == kEmpty) return false;
      index = (index + 1) & mask_;
    }
    return contains_after_long_walk(value);
  }

  // Calls visit(value) once for each distinct identifier, in no particular
  // order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    if (has_empty_value_) visit(kEmpty);
    if (!slots_.empty()) {
      for (const std::uint64_t stored : slots_) {
        if (stored != kEmpty) visit(stored);
      }
    } else {
      for (const std::uint64_t stored : sorted_) visit(stored);
    }
  }

  // The table size used for a list of `length` identifiers (see
  // table_size()).
  static std::size_t table_size_for(std::size_t length);

  // The mixing function (mix64.hpp) that spreads sequential or strided
  // identifiers over the table; the low bits of mix(value ^ seed) select
  // the slot.
  static std::uint64_t mix(std::uint64_t value) noexcept { return mix64(value); }

 private:
  static constexpr std::uint64_t kEmpty = 0;

  std::size_t slot_of(std::uint64_t value) const noexcept {
    return static_cast<std::size_t>(mix(value ^ seed_)) & mask_;
  }

  // False when the walk grew too long; the caller then sorts.
  bool insert(std::uint64_t value);
  // Replaces the table by the sorted distinct non-zero values of `values`.
  void sort_values(std::span<const std::uint64_t> values);
  bool sorted_contains(std::uint64_t value) const noexcept;
  bool contains_after_long_walk(std::uint64_t value) const;

  Buffer<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  std::uint64_t seed_ = 0;
  std::size_t size_ = 0;
  bool has_empty_value_ = false;
  // The sorted distinct non-zero values, once a walk has grown too long.
  // Built at most once per set, also from a lookup, hence mutable.
  mutable Buffer<std::uint64_t> sorted_;
  mutable bool sorted_ready_ = false;
};

// The number of identifiers in both sets, counted by walking the smaller set
// and probing the other.
std::size_t intersection_size(const IdentifierSet& a, const IdentifierSet& b);

}  // namespace metrics
