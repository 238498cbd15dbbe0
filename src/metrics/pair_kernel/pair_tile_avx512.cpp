// The pair tile in 512-bit vectors: 4 rows x 4 vectors of 16 columns,
// sixteen independent accumulators (fewer where some of a group's vectors
// hold no pair that is read). Each broadcast row element feeds four
// multiplies; with fewer columns per broadcast the broadcasts themselves
// become the bottleneck on processors that split 512-bit operations.
#include "pair_tile.hpp"
#include "isa_target.hpp"

#if VEXTRAL_X86

#include <immintrin.h>

namespace metrics {

// One 512-bit vector holds one block's kLanes columns, and the dispatch at
// the end covers one to four of them.
static_assert(kLanes == 16);
static_assert(kTileColumnBlocks == 4);

namespace {

// Group `group`'s rows against kVectors consecutive column blocks, the first
// at `columns`; `out` is where the first block's sums are.
template <std::size_t kVectors>
VEXTRAL_TARGET_AVX512 void one_group_avx512(const PairTile& tile, const float* group,
                                            const float* columns, float* out) {
  constexpr std::size_t kLanes = 16;
  constexpr std::size_t kRows = kTileRows;
  const std::size_t stride = tile.out_stride;

  __m512 acc[kRows][kVectors];
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t v = 0; v < kVectors; ++v) {
      acc[r][v] = tile.fresh ? _mm512_setzero_ps() : _mm512_loadu_ps(out + r * stride + v * kLanes);
    }
  }

  const float* rows = group + tile.k_begin * kLanes;
  columns += tile.k_begin * kLanes;
  const std::size_t block_stride = tile.column_block_stride;
  for (std::size_t k = tile.k_begin; k < tile.k_end; ++k) {
    __m512 column[kVectors];
    for (std::size_t v = 0; v < kVectors; ++v) column[v] = _mm512_loadu_ps(columns + v * block_stride);
    for (std::size_t r = 0; r < kRows; ++r) {
      const __m512 x = _mm512_set1_ps(rows[r]);
      for (std::size_t v = 0; v < kVectors; ++v) {
        // A rounded product, then a rounded sum: never a fused multiply-add.
        acc[r][v] = _mm512_add_ps(acc[r][v], _mm512_mul_ps(x, column[v]));
      }
    }
    rows += kLanes;
    columns += kLanes;
  }

  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t v = 0; v < kVectors; ++v) _mm512_storeu_ps(out + r * stride + v * kLanes, acc[r][v]);
  }
}

}  // namespace

VEXTRAL_TARGET_AVX512 void pair_tile_avx512(const PairTile& tile) {
  for (std::size_t q = 0; q < tile.groups; ++q) {
    // The blocks holding a pair that is read form one run: those before it
    // lie below the diagonal, those after it are padding.
    std::size_t first = 0;
    while (first < kTileColumnBlocks && !holds_read_pairs(tile, q, first * kLanes, kLanes)) ++first;
    std::size_t end = first;
    while (end < kTileColumnBlocks && holds_read_pairs(tile, q, end * kLanes, kLanes)) ++end;
    const float* rows = group_rows(tile, q);
    const float* columns = tile.columns + first * tile.column_block_stride;
    float* out = group_out(tile, q) + first * kLanes;
    switch (end - first) {
      case 4: one_group_avx512<4>(tile, rows, columns, out); break;
      case 3: one_group_avx512<3>(tile, rows, columns, out); break;
      case 2: one_group_avx512<2>(tile, rows, columns, out); break;
      case 1: one_group_avx512<1>(tile, rows, columns, out); break;
      default: break;
    }
  }
}

}  // namespace metrics

#endif
