// The pair tile in 512-bit vectors: 4 rows x 4 vectors of 16 columns,
// sixteen independent accumulators. Each broadcast row element feeds four
// multiplies; with fewer columns per broadcast the broadcasts themselves
// become the bottleneck on processors that split 512-bit operations.
#include "pair_tile.hpp"
#include "isa_target.hpp"

#if VEXTRAL_X86

#include <immintrin.h>

namespace metrics {

// One 512-bit vector holds one block's kLanes columns.
static_assert(kLanes == 16);

namespace {

VEXTRAL_TARGET_AVX512 void one_group_avx512(const PairTile& tile, const float* group, float* out) {
  constexpr std::size_t kLanes = 16;
  constexpr std::size_t kRows = kTileRows;
  constexpr std::size_t kVectors = kTileColumnBlocks;
  const std::size_t stride = tile.out_stride;

  __m512 acc[kRows][kVectors];
  for (std::size_t r = 0; r < kRows; ++r) {
    for (std::size_t v = 0; v < kVectors; ++v) {
      acc[r][v] = tile.fresh ? _mm512_setzero_ps() : _mm512_loadu_ps(out + r * stride + v * kLanes);
    }
  }

  const float* rows = group + tile.k_begin * kLanes;
  const float* columns = tile.columns + tile.k_begin * kLanes;
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
  for (std::size_t q = 0; q < tile.groups; ++q) one_group_avx512(tile, group_rows(tile, q), group_out(tile, q));
}

}  // namespace metrics

#endif
