// The exact sums of a set of pair similarities: sum |x|, sum x and sum x^2
// over every finite x, with how many there were and how many were NaN or
// infinite. Any order of additions, and any split into parts merged later,
// gives the same state and the same bytes, so threads (or machines) can each
// sum the similarities they compute and merge the results. Internal to the
// metrics module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "buffer.hpp"
#include "exact_sum.hpp"
#include "fixed_point_lanes.hpp"
#include "pair_kernel/kernel_path.hpp"

namespace metrics {

class SimilaritySums {
 public:
  // Bytes of the serialised state.
  static constexpr std::size_t kBytes = 8 + 8 + 8 + 3 * ExactSum::kBytes;

  // Sums added through the lanes of `path` (the same state on every path).
  explicit SimilaritySums(KernelPath path = KernelPath::portable);

  void add(const float* values, std::size_t count);
  void merge(const SimilaritySums& other);

  // Values added, NaN and infinities included.
  std::uint64_t count() const noexcept { return count_; }
  std::uint64_t non_finite() const noexcept { return non_finite_; }

  // The exact sums over the finite values.
  ExactSum absolute() const;
  ExactSum plain() const;
  ExactSum squares() const;

  void serialize(std::span<unsigned char, kBytes> out) const;
  // The state serialised as `in`, or nothing for bytes that are not one.
  static std::optional<SimilaritySums> deserialize(std::span<const unsigned char> in);

  bool operator==(const SimilaritySums& other) const;

 private:
  // Moves the lanes' sums into the exact sums and empties the lanes.
  void flush();
  // A copy whose lanes are flushed.
  SimilaritySums settled() const;

  SimilarityLaneAdder adder_;
  SimilarityLanes lanes_{};
  ExactSum plain_;
  ExactSum absolute_;
  ExactSum squares_;
  std::uint64_t count_ = 0;
  std::uint64_t non_finite_ = 0;
};

}  // namespace metrics
