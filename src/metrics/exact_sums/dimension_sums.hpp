// The exact per-dimension sums of a batch's values, sum r and sum r^2 for
// each dimension k, with the number of rows that reach k: what coverage
// needs, in a state that, like SimilaritySums, does not depend on the order
// of the rows or on how they were split into parts. A state may cover a
// range of dimensions only, so that a batch of very long rows can be walked
// a range at a time. Internal to the metrics module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "buffer.hpp"
#include "exact_sum.hpp"
#include "fixed_point_lanes.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"

namespace metrics {

class DimensionSums {
 public:
  // Sums for dimensions [first_dimension, first_dimension + dimensions).
  DimensionSums(std::size_t first_dimension, std::size_t dimensions,
                KernelPath path = KernelPath::portable);

  // The sums of every row of `rows` for those dimensions, the rows split
  // among `threads` threads at most (the state is the same however they
  // split).
  static DimensionSums of_rows(const EmbeddingBatch& rows, std::size_t first_dimension,
                               std::size_t dimensions, KernelPath path, unsigned threads);

  // Adds rows [begin, end) of `batch`: element k of a row counts for
  // dimension k when k is in this state's range; a row that ends before a
  // dimension adds nothing to it.
  void add_rows(const EmbeddingBatch& batch, std::size_t begin, std::size_t end);
  // Adds another state of the same dimensions (fails otherwise).
  void merge(const DimensionSums& other);

  std::size_t first_dimension() const noexcept { return first_; }
  std::size_t dimensions() const noexcept { return width_; }
  // Rows added, and values among them that are NaN or infinite.
  std::uint64_t rows() const noexcept { return rows_; }
  std::uint64_t non_finite() const noexcept { return non_finite_; }

  // For dimension first_dimension() + k: the rows that reach it and the exact
  // sums of their finite values and of their squares. Call settle() first.
  std::uint64_t count(std::size_t k) const noexcept { return counts_[k]; }
  const ExactSum& plain(std::size_t k) const noexcept { return plain_[k]; }
  const ExactSum& squares(std::size_t k) const noexcept { return squares_[k]; }

  // Moves what the lanes hold into the exact sums.
  void settle();

  // The serialised state: a header, then per dimension its count and two
  // exact sums.
  std::size_t serialized_size() const noexcept;
  Buffer<unsigned char> serialize() const;
  static std::optional<DimensionSums> deserialize(std::span<const unsigned char> in);

 private:
  DimensionSums() = default;
  // Powers of two that bring each dimension's values near 1, from the
  // largest finite magnitude among the first rows added.
  void choose_scales(const EmbeddingBatch& batch, std::size_t begin, std::size_t end);

  std::size_t first_ = 0;
  std::size_t width_ = 0;
  DimensionLaneAdder adder_ = add_row_portable;
  bool scales_chosen_ = false;
  std::uint64_t rows_ = 0;
  std::uint64_t non_finite_ = 0;
  std::uint64_t rows_since_flush_ = 0;
  Buffer<double> scale_;
  Buffer<int> scale_exponent_;  // scale_[k] = 2^-scale_exponent_[k]
  Buffer<std::uint64_t> lane_plain_;
  Buffer<std::uint64_t> lane_square_high_;
  Buffer<std::uint64_t> lane_square_low_;
  // Rows added since the last flush, by the number of this state's
  // dimensions they reach: a dimension's lanes took one step for each row
  // that reaches it.
  Buffer<std::uint64_t> reach_since_flush_;
  Buffer<std::uint64_t> counts_;
  Buffer<ExactSum> plain_;
  Buffer<ExactSum> squares_;
};

// Fails, as coverage does, on a row longer than `dimension` (the length of
// the batch's row 0).
void require_rows_within(const EmbeddingBatch& rows, std::size_t dimension);

}  // namespace metrics
