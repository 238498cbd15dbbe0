// The pair tile in 256-bit vectors. Sixteen registers hold no more than
// 4 rows x 2 vectors of accumulators (eight independent sums), so the tile
// runs as four quarters of 16 columns each. The quarters are the outer
// loop: one quarter's columns stay in the level-1 cache while every row
// group of the call passes over them.
#include "pair_tile.hpp"
#include "isa_target.hpp"

#if VEXTRAL_X86

#include <immintrin.h>

namespace metrics {

// The quarter tile below holds one block's kLanes columns in two 256-bit
// vectors.
static_assert(kLanes == 2 * 8);

namespace {

// The running sums of one quarter: row r's sums for columns 0-7 and 8-15.
struct QuarterSums {
  __m256 r0lo, r0hi, r1lo, r1hi, r2lo, r2hi, r3lo, r3hi;
};

// Row `row`'s share of a step: broadcast its element, multiply it by both
// column vectors and add each rounded product to its running sum.
#define VEXTRAL_AVX2_ROW(row, lo, hi)         \
  "vbroadcastss %[" #row "], %[x]\n\t"        \
  "vmulps %[x], %[c0], %[t]\n\t"              \
  "vaddps %[t], %[" #lo "], %[" #lo "]\n\t"   \
  "vmulps %[x], %[c1], %[t]\n\t"              \
  "vaddps %[t], %[" #hi "], %[" #hi "]\n\t"

// One step of the dimension: element k of the four rows times element k of
// the sixteen columns, each product rounded and then added to its pair's
// sum (a multiply, then an add: never a fused multiply-add).
//
// This is one asm statement rather than intrinsics because GCC and Clang,
// given the same step as intrinsics, interleave consecutive steps, run short
// of registers and then reload the column vectors as memory operands of the
// multiplies: six loads per step become up to twelve, and the quarter runs
// at about 60 % of the core's multiply-add rate instead of nearly 90 %. The
// asm pins only the register use; the instructions and their order are
// exactly those the intrinsics describe.
VEXTRAL_TARGET_AVX2 inline void quarter_step(QuarterSums& s, const float* rows,
                                             const float* columns) {
  __m256 c0, c1, x, t;
  __asm__("vmovups %[col0], %[c0]\n\t"
          "vmovups %[col1], %[c1]\n\t"
          VEXTRAL_AVX2_ROW(row0, r0lo, r0hi)
          VEXTRAL_AVX2_ROW(row1, r1lo, r1hi)
          VEXTRAL_AVX2_ROW(row2, r2lo, r2hi)
          VEXTRAL_AVX2_ROW(row3, r3lo, r3hi)
          : [r0lo] "+x"(s.r0lo), [r0hi] "+x"(s.r0hi), [r1lo] "+x"(s.r1lo), [r1hi] "+x"(s.r1hi),
            [r2lo] "+x"(s.r2lo), [r2hi] "+x"(s.r2hi), [r3lo] "+x"(s.r3lo), [r3hi] "+x"(s.r3hi),
            [c0] "=&x"(c0), [c1] "=&x"(c1), [x] "=&x"(x), [t] "=&x"(t)
          : [col0] "m"(*reinterpret_cast<const __m256_u*>(columns)),
            [col1] "m"(*reinterpret_cast<const __m256_u*>(columns + 8)),
            [row0] "m"(rows[0]), [row1] "m"(rows[1]), [row2] "m"(rows[2]), [row3] "m"(rows[3]));
}

#undef VEXTRAL_AVX2_ROW

VEXTRAL_TARGET_AVX2 void quarter_tile_avx2(const PairTile& tile, const float* group,
                                           const float* columns, float* out) {
  constexpr std::size_t kLanes = 16;
  const std::size_t stride = tile.out_stride;
  float* const row_out[kTileRows] = {out, out + stride, out + 2 * stride, out + 3 * stride};

  QuarterSums s;
  if (tile.fresh) {
    s.r0lo = s.r0hi = s.r1lo = s.r1hi = s.r2lo = s.r2hi = s.r3lo = s.r3hi = _mm256_setzero_ps();
  } else {
    s = {_mm256_loadu_ps(row_out[0]), _mm256_loadu_ps(row_out[0] + 8),
         _mm256_loadu_ps(row_out[1]), _mm256_loadu_ps(row_out[1] + 8),
         _mm256_loadu_ps(row_out[2]), _mm256_loadu_ps(row_out[2] + 8),
         _mm256_loadu_ps(row_out[3]), _mm256_loadu_ps(row_out[3] + 8)};
  }

  // Every accumulator gets its product for element k in k order, so
  // unrolling changes no sum. Rows and columns advance by the same 16 floats
  // per element, so one offset indexes both. Two steps per iteration keep
  // the loop's counter and branch off the dispatch of every step.
  const float* rows = group + tile.k_begin * kLanes;
  const float* column = columns + tile.k_begin * kLanes;
  const std::size_t end = (tile.k_end - tile.k_begin) * kLanes;
  const std::size_t unrolled_end = end / (2 * kLanes) * (2 * kLanes);
  std::size_t offset = 0;
  for (; offset != unrolled_end; offset += 2 * kLanes) {
    quarter_step(s, rows + offset, column + offset);
    quarter_step(s, rows + offset + kLanes, column + offset + kLanes);
  }
  if (offset != end) quarter_step(s, rows + offset, column + offset);

  _mm256_storeu_ps(row_out[0], s.r0lo);
  _mm256_storeu_ps(row_out[0] + 8, s.r0hi);
  _mm256_storeu_ps(row_out[1], s.r1lo);
  _mm256_storeu_ps(row_out[1] + 8, s.r1hi);
  _mm256_storeu_ps(row_out[2], s.r2lo);
  _mm256_storeu_ps(row_out[2] + 8, s.r2hi);
  _mm256_storeu_ps(row_out[3], s.r3lo);
  _mm256_storeu_ps(row_out[3] + 8, s.r3hi);
}

}  // namespace

VEXTRAL_TARGET_AVX2 void pair_tile_avx2(const PairTile& tile) {
  for (std::size_t v = 0; v < kTileColumnBlocks; ++v) {
    const float* columns = tile.columns + v * tile.column_block_stride;
    for (std::size_t q = 0; q < tile.groups; ++q) {
      if (!holds_read_pairs(tile, q, v * kLanes, kLanes)) continue;
      quarter_tile_avx2(tile, group_rows(tile, q), columns, group_out(tile, q) + v * kLanes);
    }
  }
}

}  // namespace metrics

#endif
