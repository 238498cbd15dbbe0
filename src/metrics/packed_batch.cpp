#include "packed_batch.hpp"

#include <cmath>
#include <span>

namespace metrics {

namespace {

constexpr std::size_t kLanes = PackedBatch::kLanes;

std::size_t longest_row(const EmbeddingBatch& batch) noexcept {
  std::size_t longest = 0;
  for (std::size_t i = 0; i < batch.rows(); ++i) {
    if (batch.row(i).size() > longest) longest = batch.row(i).size();
  }
  return longest;
}

std::size_t round_up(std::size_t count, std::size_t multiple) noexcept {
  return (count + multiple - 1) / multiple * multiple;
}

// Copies the rows of one block into its transposed slots, zero beyond each
// row's end and for rows past the batch's end. Works through squares of
// 16 x 16 elements so that both the 16 source rows and the destination stay
// in the level-1 cache.
void transpose_block(const EmbeddingBatch& batch, std::size_t first_row, std::size_t depth,
                     float* out) {
  const float* source[kLanes];
  std::size_t length[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    const std::size_t i = first_row + l;
    std::span<const float> row = i < batch.rows() ? batch.row(i) : std::span<const float>{};
    source[l] = row.data();
    length[l] = row.size();
  }
  for (std::size_t k0 = 0; k0 < depth; k0 += kLanes) {
    const std::size_t k1 = k0 + kLanes < depth ? k0 + kLanes : depth;
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t copied = length[l] < k0 ? k0 : length[l] < k1 ? length[l] : k1;
      for (std::size_t k = k0; k < copied; ++k) out[k * kLanes + l] = source[l][k];
      for (std::size_t k = copied; k < k1; ++k) out[k * kLanes + l] = 0.0f;
    }
  }
}

// Normalises the 16 transposed rows of one block in place. Each lane is one
// row: its sum of squares runs over the dimension in index order, exactly as
// for a single row, and the padded zeros add +0, which leaves a running sum
// that started at +0 unchanged. The lanes are independent, so the loops
// vectorise across rows without reordering any row's sum.
void normalise_block(float* block, std::size_t depth) {
  float squares[kLanes] = {};
  for (std::size_t k = 0; k < depth; ++k) {
    const float* x = block + k * kLanes;
    for (std::size_t l = 0; l < kLanes; ++l) {
      const float square = x[l] * x[l];
      squares[l] = squares[l] + square;
    }
  }
  // A row whose sum is not > 0 (zero, underflowed or NaN) is kept as it is:
  // it is divided by 1, which is exact for every value (a signalling NaN
  // comes out quiet, and any NaN makes every similarity it meets NaN
  // either way). Dividing every lane keeps the loop free of branches.
  float norm[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    norm[l] = squares[l] > 0.0f ? std::sqrt(squares[l]) : 1.0f;
  }
  for (std::size_t k = 0; k < depth; ++k) {
    float* x = block + k * kLanes;
    for (std::size_t l = 0; l < kLanes; ++l) x[l] = x[l] / norm[l];  // a true division, never 1/q
  }
}

}  // namespace

bool PackedBatch::fits(const EmbeddingBatch& batch) noexcept {
  const std::size_t depth = longest_row(batch);
  const std::size_t padded_rows = round_up(batch.rows(), kRowMultiple);
  std::size_t padded = 0;
  if (__builtin_mul_overflow(padded_rows, depth, &padded)) return false;
  // A rectangular batch only gains its padding rows; a ragged one may grow
  // to twice its size.
  std::size_t allowance = 0;
  if (__builtin_mul_overflow(kRowMultiple, depth, &allowance)) return false;
  if (padded <= allowance) return true;
  return (padded - allowance) / 2 <= batch.value_count();
}

PackedBatch PackedBatch::normalised(const EmbeddingBatch& batch) {
  PackedBatch packed;
  packed.rows_ = batch.rows();
  packed.depth_ = longest_row(batch);
  packed.padded_rows_ = round_up(packed.rows_, kRowMultiple);
  packed.values_.resize(packed.padded_rows_ * packed.depth_);

  const std::size_t blocks = packed.padded_rows_ / kLanes;
  for (std::size_t b = 0; b < blocks; ++b) {
    float* block = packed.values_.data() + b * packed.block_stride();
    transpose_block(batch, b * kLanes, packed.depth_, block);
    normalise_block(block, packed.depth_);
  }

  bool ragged = false;
  for (std::size_t i = 0; i < packed.rows_; ++i) ragged = ragged || batch.row(i).size() != packed.depth_;
  if (!ragged) return packed;

  // Record, per row, how far its non-finite elements reach. Copied NaN rows
  // may also hold infinities, so test the normalised values, not the sums.
  packed.lengths_.resize(packed.rows_);
  packed.non_finite_ends_.resize(packed.rows_);
  for (std::size_t i = 0; i < packed.rows_; ++i) {
    const std::size_t length = batch.row(i).size();
    std::size_t end = 0;
    for (std::size_t k = 0; k < length; ++k) {
      if (!std::isfinite(packed.value(i, k))) end = k + 1;
    }
    packed.lengths_[i] = length;
    packed.non_finite_ends_[i] = end;
    packed.padding_may_poison_ = packed.padding_may_poison_ || end != 0;
  }
  return packed;
}

}  // namespace metrics
