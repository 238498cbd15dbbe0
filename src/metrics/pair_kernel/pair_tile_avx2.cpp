// The pair tile in 256-bit vectors. Sixteen registers hold no more than
// 4 rows x 2 vectors of accumulators (eight independent sums), so the tile
// runs as four quarters of 16 columns each, one row group after the other:
// the group's rows stay in the level-1 cache across its four quarters.
#include "pair_tile.hpp"
#include "isa_target.hpp"

#if VEXTRAL_X86

#include <immintrin.h>

namespace metrics {

// The quarter tile below holds one block's kLanes columns in two 256-bit
// vectors.
static_assert(kLanes == 2 * 8);

namespace {

VEXTRAL_TARGET_AVX2 void quarter_tile_avx2(const PairTile& tile, const float* group,
                                           const float* columns, float* out) {
  constexpr std::size_t kLanes = 16;
  const std::size_t stride = tile.out_stride;

  __m256 a00, a01, a10, a11, a20, a21, a30, a31;
  if (tile.fresh) {
    a00 = a01 = a10 = a11 = a20 = a21 = a30 = a31 = _mm256_setzero_ps();
  } else {
    a00 = _mm256_loadu_ps(out);
    a01 = _mm256_loadu_ps(out + 8);
    a10 = _mm256_loadu_ps(out + stride);
    a11 = _mm256_loadu_ps(out + stride + 8);
    a20 = _mm256_loadu_ps(out + 2 * stride);
    a21 = _mm256_loadu_ps(out + 2 * stride + 8);
    a30 = _mm256_loadu_ps(out + 3 * stride);
    a31 = _mm256_loadu_ps(out + 3 * stride + 8);
  }

  // One step of the dimension: every accumulator gets its product for
  // element k, in k order, so unrolling changes no sum. Rows and columns
  // advance by the same 16 floats per element, so one offset indexes both.
  const float* rows = group + tile.k_begin * kLanes;
  const float* column = columns + tile.k_begin * kLanes;
#define VEXTRAL_AVX2_STEP(offset)                                  \
  do {                                                             \
    const __m256 c0 = _mm256_loadu_ps(column + (offset));          \
    const __m256 c1 = _mm256_loadu_ps(column + (offset) + 8);      \
    __m256 x = _mm256_broadcast_ss(rows + (offset));               \
    a00 = _mm256_add_ps(a00, _mm256_mul_ps(x, c0));                \
    a01 = _mm256_add_ps(a01, _mm256_mul_ps(x, c1));                \
    x = _mm256_broadcast_ss(rows + (offset) + 1);                  \
    a10 = _mm256_add_ps(a10, _mm256_mul_ps(x, c0));                \
    a11 = _mm256_add_ps(a11, _mm256_mul_ps(x, c1));                \
    x = _mm256_broadcast_ss(rows + (offset) + 2);                  \
    a20 = _mm256_add_ps(a20, _mm256_mul_ps(x, c0));                \
    a21 = _mm256_add_ps(a21, _mm256_mul_ps(x, c1));                \
    x = _mm256_broadcast_ss(rows + (offset) + 3);                  \
    a30 = _mm256_add_ps(a30, _mm256_mul_ps(x, c0));                \
    a31 = _mm256_add_ps(a31, _mm256_mul_ps(x, c1));                \
  } while (false)
  // A step is 22 instructions for 16 floating-point operations: with the
  // loop's counter and branch on every step the core's dispatch width, not
  // its arithmetic, would set the pace, hence two steps per iteration.
  const std::size_t end = (tile.k_end - tile.k_begin) * kLanes;
  const std::size_t unrolled_end = end / (2 * kLanes) * (2 * kLanes);
  std::size_t offset = 0;
  for (; offset != unrolled_end; offset += 2 * kLanes) {
    VEXTRAL_AVX2_STEP(offset);
    VEXTRAL_AVX2_STEP(offset + kLanes);
  }
  if (offset != end) VEXTRAL_AVX2_STEP(offset);
#undef VEXTRAL_AVX2_STEP

  _mm256_storeu_ps(out, a00);
  _mm256_storeu_ps(out + 8, a01);
  _mm256_storeu_ps(out + stride, a10);
  _mm256_storeu_ps(out + stride + 8, a11);
  _mm256_storeu_ps(out + 2 * stride, a20);
  _mm256_storeu_ps(out + 2 * stride + 8, a21);
  _mm256_storeu_ps(out + 3 * stride, a30);
  _mm256_storeu_ps(out + 3 * stride + 8, a31);
}

}  // namespace

VEXTRAL_TARGET_AVX2 void pair_tile_avx2(const PairTile& tile) {
  for (std::size_t q = 0; q < tile.groups; ++q) {
    const float* rows = group_rows(tile, q);
    float* out = group_out(tile, q);
    for (std::size_t v = 0; v < kTileColumnBlocks; ++v) {
      quarter_tile_avx2(tile, rows, tile.columns + v * tile.column_block_stride, out + v * 16);
    }
  }
}

}  // namespace metrics

#endif
