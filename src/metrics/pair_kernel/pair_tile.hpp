// The pair kernel's inner step: tiles of similarities, each four rows i of
// one packed block against the 64 rows j of four consecutive packed blocks,
// over a range of the dimension; one call covers a run of consecutive row
// groups against the same columns, so that a kernel may keep a part of the
// columns in the level-1 cache while every group passes over it.
//
// Every output element is one pair's running dot product. The tile adds the
// products for k = k_begin, k_begin + 1, ..., k_end - 1 one at a time, each
// product rounded before it is added (a multiply, then an add; never a fused
// multiply-add), so splitting the dimension into ranges and carrying the
// running sums through `out` gives exactly the sequential sum. Internal to
// the metrics module.
#pragma once

#include <cstddef>

#include "exact_arithmetic.hpp"
#include "isa_target.hpp"
#include "kernel_path.hpp"
#include "tile_shape.hpp"

namespace metrics {

struct PairTile {
  // The packed block holding the first row group, the lane of its first row
  // (0, 4, 8 or 12), the distance in floats from one block to the next, and
  // how many consecutive groups of four rows the call covers.
  const float* row_block;
  std::size_t first_lane;
  std::size_t row_block_stride;
  std::size_t groups;
  // columns[v * column_block_stride + k * kLanes + c] is element k of tile
  // column kLanes * v + c (v < kTileColumnBlocks, c < kLanes).
  const float* columns;
  std::size_t column_block_stride;
  std::size_t k_begin;
  std::size_t k_end;
  // out[(4 * q + r) * out_stride + c] holds the running sum of pair (row r
  // of group q, column c): read on entry unless `fresh`, in which case the
  // sums start at +0.
  float* out;
  std::size_t out_stride;
  bool fresh;
  // What is read afterwards: only the pairs (i, j) with i < j < rows, where
  // first_row is the batch index of group 0's first row and first_column
  // that of tile column 0. A kernel may leave out a part of the tile that
  // holds none of them (see holds_read_pairs); its entries of `out` are then
  // left as they were.
  std::size_t first_row;
  std::size_t first_column;
  std::size_t rows;
};

// Group q's rows: rows[k * kLanes + r] is element k of its row r
// (r < kTileRows).
inline const float* group_rows(const PairTile& tile, std::size_t q) noexcept {
  const std::size_t lane = tile.first_lane + q * kTileRows;
  return tile.row_block + (lane / kLanes) * tile.row_block_stride + lane % kLanes;
}

// Where group q's running sums are.
inline float* group_out(const PairTile& tile, std::size_t q) noexcept {
  return tile.out + q * kTileRows * tile.out_stride;
}

// Whether tile columns [column, column + width) hold a pair that is read
// afterwards for some row of group q: one column j < rows past the group's
// first row. The rows below the diagonal and the padding columns past the
// last row are never read.
inline bool holds_read_pairs(const PairTile& tile, std::size_t q, std::size_t column,
                             std::size_t width) noexcept {
  const std::size_t first_j = tile.first_column + column;
  const std::size_t first_i = tile.first_row + q * kTileRows;
  return first_j < tile.rows && first_j + width - 1 > first_i;
}

using PairTileKernel = void (*)(const PairTile& tile);

void pair_tile_portable(const PairTile& tile);
#if VEXTRAL_X86
void pair_tile_avx2(const PairTile& tile);
void pair_tile_avx512(const PairTile& tile);
#endif

// The tile kernel of `path` (kernel_path.cpp). Fails with InternalFailure
// when this build has no such path or the processor cannot run it.
PairTileKernel pair_tile_kernel(KernelPath path);

}  // namespace metrics
