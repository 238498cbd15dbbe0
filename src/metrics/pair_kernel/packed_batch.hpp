// The normalised batch in the layout the pair kernel reads.
//
// Rows are grouped in blocks of 16 (one row per vector lane); a block stores
// its rows transposed, dimension-major: element k of the block's row l sits
// at block(b)[k * 16 + l]. Every row is padded with zeros to the longest row
// length (the depth) and the row count is padded with zero rows to a
// multiple of the column tile, so the kernel never needs a remainder loop.
// Internal to the metrics module.
#pragma once

#include <cstddef>

#include "buffer.hpp"
#include "metrics.hpp"
#include "tile_shape.hpp"

namespace metrics {

class PackedBatch {
 public:
  static constexpr std::size_t kLanes = metrics::kLanes;
  // Row counts are padded to a multiple of this, four blocks: the column
  // tile of the pair kernel.
  static constexpr std::size_t kRowMultiple = kTileColumns;

  std::size_t rows() const noexcept { return rows_; }
  std::size_t padded_rows() const noexcept { return padded_rows_; }
  std::size_t depth() const noexcept { return depth_; }
  // Floats from one block to the next.
  std::size_t block_stride() const noexcept { return depth_ * kLanes; }
  const float* block(std::size_t b) const noexcept { return values_.data() + b * block_stride(); }
  // Normalised element k of row i (0 in the padding).
  float value(std::size_t i, std::size_t k) const noexcept {
    return block(i / kLanes)[k * kLanes + i % kLanes];
  }

  // True when some rows are shorter than the depth and a padded zero may
  // meet a non-finite element of another row: 0 * inf and 0 * NaN are NaN
  // where the unpadded dot product never multiplies at all. Only then do
  // length() and non_finite_end() carry information.
  bool padding_may_poison() const noexcept { return padding_may_poison_; }
  std::size_t length(std::size_t i) const noexcept { return lengths_[i]; }
  // One past the last index of a non-finite normalised element of row i,
  // 0 when the row has none.
  std::size_t non_finite_end(std::size_t i) const noexcept { return non_finite_ends_[i]; }

  // Whether the padded layout of `batch` stays within twice the batch's own
  // values plus 1 MiB, and the tile kernel's work over it within a few times
  // that of the plain pair loop. A few very long rows, alone or among many
  // short ones, would otherwise multiply the memory and the work.
  static bool fits(const EmbeddingBatch& batch);

  // Normalises every row exactly as normalize_embeddings does and stores the
  // result in the packed layout. Requires fits(batch). With threads > 1 and
  // a large batch, worker threads (joined before it returns) normalise parts
  // of the blocks; every row is normalised on its own, so the values are the
  // same whatever the threads.
  // With scale_extreme_rows, rows are normalised as normalize_embeddings
  // does with it.
  static PackedBatch normalized(const EmbeddingBatch& batch, unsigned threads = 1,
                                bool scale_extreme_rows = false);

 private:
  // Transposes and normalises blocks [begin, end) into values_.
  void normalize_blocks(const EmbeddingBatch& batch, std::size_t begin, std::size_t end) noexcept;

  std::size_t rows_ = 0;
  std::size_t padded_rows_ = 0;
  std::size_t depth_ = 0;
  bool padding_may_poison_ = false;
  bool scale_extreme_rows_ = false;
  Buffer<float> values_;
  Buffer<std::size_t> lengths_;
  Buffer<std::size_t> non_finite_ends_;
};

}  // namespace metrics
