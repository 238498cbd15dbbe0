#include "pair_tile.hpp"

namespace metrics {

namespace {

// Two tile rows against one block of kLanes columns. The lanes are independent
// running sums, so the compiler may vectorise across them (SSE2, NEON)
// without reordering any single sum.
void two_rows_one_block(const PairTile& tile, const float* rows, std::size_t first_row,
                        const float* columns, float* out) {
  float acc[2][kLanes];
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t c = 0; c < kLanes; ++c) {
      acc[r][c] = tile.fresh ? 0.0f : out[(first_row + r) * tile.out_stride + c];
    }
  }
  for (std::size_t k = tile.k_begin; k < tile.k_end; ++k) {
    const float* column = columns + k * kLanes;
    for (std::size_t r = 0; r < 2; ++r) {
      const float x = rows[k * kLanes + first_row + r];
      for (std::size_t c = 0; c < kLanes; ++c) {
        const float product = x * column[c];
        acc[r][c] = acc[r][c] + product;
      }
    }
  }
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t c = 0; c < kLanes; ++c) out[(first_row + r) * tile.out_stride + c] = acc[r][c];
  }
}

}  // namespace

void pair_tile_portable(const PairTile& tile) {
  for (std::size_t v = 0; v < kTileColumnBlocks; ++v) {
    const float* columns = tile.columns + v * tile.column_block_stride;
    for (std::size_t q = 0; q < tile.groups; ++q) {
      const float* rows = group_rows(tile, q);
      float* out = group_out(tile, q) + v * kLanes;
      for (std::size_t r = 0; r < kTileRows; r += 2) two_rows_one_block(tile, rows, r, columns, out);
    }
  }
}

}  // namespace metrics
