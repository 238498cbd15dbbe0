#include "pair_similarities.hpp"

#include <cstdint>

#include "pairs.hpp"

namespace metrics {

namespace {

// The dimension is walked in ranges of this many elements so that the four
// column blocks of a tile (4 x 16 x 1024 floats, 256 KiB) stay in the
// level-2 cache, however long the rows, while every row group of the panel
// passes over them. Longer ranges spend less on reloading the running sums
// and keep the tile's loops long: at 768 dimensions, ranges of 1024 instead
// of 256 made the AVX2 and AVX-512 tiles 2-4 % faster.
constexpr std::size_t kDepthRange = 1024;

}  // namespace

PairSimilarities::PairSimilarities(const EmbeddingBatch& batch, KernelPath path,
                                   unsigned threads, bool scale_extreme_rows)
    : rows_(batch.rows()), path_(path), tile_kernel_(pair_tile_kernel(path)) {
  if (PackedBatch::fits(batch)) {
    packed_path_ = true;
    packed_ = PackedBatch::normalized(batch, threads, scale_extreme_rows);
    work_per_pair_ = packed_.depth();
  } else {
    normalized_ = normalize_embeddings(batch, scale_extreme_rows);
    work_per_pair_ = rows_ == 0 ? 0 : batch.value_count() / rows_;
  }
  if (work_per_pair_ == 0) work_per_pair_ = 1;
}

std::size_t PairSimilarities::panel_count() const noexcept {
  return rows_ < 2 ? 0 : (rows_ - 1 + kPanelRows - 1) / kPanelRows;
}

std::size_t PairSimilarities::panel_stride() const noexcept {
  return packed_path_ ? packed_.padded_rows() : rows_;
}

void PairSimilarities::fill_panel(std::size_t first, std::size_t count, float* out,
                                  std::size_t stride) const {
  fill_panel_columns(first, count, out, stride, 0, stride);
}

void PairSimilarities::fill_panel_columns(std::size_t first, std::size_t count, float* out,
                                          std::size_t stride, std::size_t column_begin,
                                          std::size_t column_end) const {
  if (!packed_path_) {
    fill_scalar_panel(first, count, out, stride, column_begin, column_end);
    return;
  }
  fill_packed_panel(first, count, out, stride, column_begin, column_end);
  if (packed_.padding_may_poison()) {
    repair_poisoned_pairs(first, count, out, stride, column_begin, column_end);
  }
}

void PairSimilarities::fill_packed_panel(std::size_t first, std::size_t count, float* out,
                                         std::size_t stride, std::size_t column_begin_limit,
                                         std::size_t column_end_limit) const {
  constexpr std::size_t kLanes = PackedBatch::kLanes;
  const std::size_t depth = packed_.depth();
  const std::size_t block_stride = packed_.block_stride();
  // Row groups are kTileRows consecutive rows of one block; `first` is a
  // multiple of kTileRows, so the panel's groups line up with the blocks.
  const std::size_t row_end = first + count;
  // Column tiles start at the one holding `first`: the tiles before it hold
  // only pairs with j < i.
  std::size_t first_column_tile = first / kTileColumns;
  if (column_begin_limit / kTileColumns > first_column_tile) {
    first_column_tile = column_begin_limit / kTileColumns;
  }
  std::size_t column_tiles = packed_.padded_rows() / kTileColumns;
  const std::size_t end_tile = (column_end_limit + kTileColumns - 1) / kTileColumns;
  if (end_tile < column_tiles) column_tiles = end_tile;

  PairTile tile{};
  tile.column_block_stride = block_stride;
  tile.row_block_stride = block_stride;
  tile.out_stride = stride;
  tile.row_block = packed_.block(first / kLanes);
  tile.first_lane = first % kLanes;
  tile.first_row = first;
  tile.rows = rows_;
  for (std::size_t ct = first_column_tile; ct < column_tiles; ++ct) {
    const std::size_t column_begin = ct * kTileColumns;
    const std::size_t last_column = column_begin + kTileColumns - 1;
    tile.columns = packed_.block(column_begin / kLanes);
    tile.out = out + column_begin;
    tile.first_column = column_begin;
    // Groups whose first row is at or past the tile's last column hold no
    // pair (i < j) in this tile, and neither do the groups after them.
    const std::size_t group_end = row_end < last_column ? row_end : last_column;
    tile.groups = (group_end - first + kTileRows - 1) / kTileRows;
    for (std::size_t k = 0; k < depth || k == 0; k += kDepthRange) {
      tile.k_begin = k;
      tile.k_end = k + kDepthRange < depth ? k + kDepthRange : depth;
      tile.fresh = k == 0;
      tile_kernel_(tile);
    }
  }
}

void PairSimilarities::repair_poisoned_pairs(std::size_t first, std::size_t count, float* out,
                                             std::size_t stride, std::size_t column_begin,
                                             std::size_t column_end) const {
  // The padded sum is exact unless the shorter row's padding meets a
  // non-finite element of the longer row; those pairs are summed again over
  // the shorter length only, as dot_product does.
  const auto repair = [&](std::size_t r, std::size_t i, std::size_t j) {
    const std::size_t length_i = packed_.length(i);
    const std::size_t length_j = packed_.length(j);
    const bool poisoned = length_i < length_j ? packed_.non_finite_end(j) > length_i
                                              : packed_.non_finite_end(i) > length_j;
    if (!poisoned) return;
    const std::size_t m = length_i < length_j ? length_i : length_j;
    float total = 0.0f;
    for (std::size_t k = 0; k < m; ++k) {
      const float product = packed_.value(i, k) * packed_.value(j, k);
      total = total + product;
    }
    out[r * stride + j] = total;
  };
  for_each_panel_pair(first, count, column_begin, column_end, repair);
}

void PairSimilarities::fill_scalar_panel(std::size_t first, std::size_t count, float* out,
                                         std::size_t stride, std::size_t column_begin,
                                         std::size_t column_end) const {
  const auto fill = [&](std::size_t r, std::size_t i, std::size_t j) {
    out[r * stride + j] = dot_product(normalized_.row(i), normalized_.row(j));
  };
  for_each_panel_pair(first, count, column_begin, column_end, fill);
}

}  // namespace metrics
