// The fixed-point lanes with AVX-512: eight values widened to doubles per
// step, in one 512-bit vector.
#include "fixed_point_lanes.hpp"

#if VEXTRAL_X86

#include <cstring>
#include <immintrin.h>

namespace metrics {

namespace {

// Eight floats widened to doubles. (The unmasked form leaves GCC 12 warning
// of an uninitialised source inside its own header.)
VEXTRAL_TARGET_AVX512 inline __m512d widened(__m256 narrow) {
  return _mm512_maskz_cvtps_pd(static_cast<__mmask8>(0xff), narrow);
}

// Which of the eight lanes the fixed-point sums can take.
VEXTRAL_TARGET_AVX512 inline __mmask8 fitting(__m512d x, __m512d magnitude) {
  const __mmask8 in_range =
      _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(kFixedSmallest), _CMP_GE_OQ) &
      _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(kFixedBound), _CMP_LT_OQ);
  return static_cast<__mmask8>(in_range | _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_EQ_OQ));
}

struct SquareVectors {
  __m512i high;
  __m512i low;
};

VEXTRAL_TARGET_AVX512 inline SquareVectors square_parts(__m512d x) {
  const __m512d bias = _mm512_set1_pd(kFixedBias);
  const __m512d square = _mm512_mul_pd(x, x);
  const __m512d biased_high = _mm512_add_pd(square, bias);
  const __m512d high = _mm512_sub_pd(biased_high, bias);
  const __m512d low = _mm512_sub_pd(square, high);
  return {_mm512_castpd_si512(biased_high),
          _mm512_castpd_si512(_mm512_add_pd(low, _mm512_set1_pd(kLowSquareBias)))};
}

}  // namespace

VEXTRAL_TARGET_AVX512 void add_similarities_avx512(SimilarityLanes& lanes, const float* values,
                                                   std::size_t count, SlowValueSink& slow) {
  const __m512d bias = _mm512_set1_pd(kFixedBias);
  __m512i plain = _mm512_loadu_si512(lanes.plain);
  __m512i absolute = _mm512_loadu_si512(lanes.absolute);
  __m512i square_high = _mm512_loadu_si512(lanes.square_high);
  __m512i square_low = _mm512_loadu_si512(lanes.square_low);
  std::uint64_t steps = 0;
  for (std::size_t first = 0; first < count; first += kFixedLanes, ++steps) {
    float tail[kFixedLanes] = {};
    const float* step_values = values + first;
    if (count - first < kFixedLanes) {
      std::memcpy(tail, values + first, (count - first) * sizeof(float));
      step_values = tail;
    }
    __m512d x = widened(_mm256_loadu_ps(step_values));
    __m512d magnitude = _mm512_abs_pd(x);
    const __mmask8 fast = fitting(x, magnitude);
    if (fast != 0xff) {
      for (std::size_t t = 0; t < kFixedLanes && first + t < count; ++t) {
        if (!((fast >> t) & 1u)) slow.take(first + t, static_cast<double>(values[first + t]));
      }
      x = _mm512_maskz_mov_pd(fast, x);
      magnitude = _mm512_maskz_mov_pd(fast, magnitude);
    }
    plain = _mm512_add_epi64(plain, _mm512_castpd_si512(_mm512_add_pd(x, bias)));
    absolute = _mm512_add_epi64(absolute, _mm512_castpd_si512(_mm512_add_pd(magnitude, bias)));
    const SquareVectors square = square_parts(x);
    square_high = _mm512_add_epi64(square_high, square.high);
    square_low = _mm512_add_epi64(square_low, square.low);
  }
  _mm512_storeu_si512(lanes.plain, plain);
  _mm512_storeu_si512(lanes.absolute, absolute);
  _mm512_storeu_si512(lanes.square_high, square_high);
  _mm512_storeu_si512(lanes.square_low, square_low);
  lanes.steps += steps;
}

VEXTRAL_TARGET_AVX512 void add_row_avx512(const DimensionLanes& lanes, const float* row,
                                          std::size_t count, SlowValueSink& slow) {
  const __m512d bias = _mm512_set1_pd(kFixedBias);
  std::size_t k = 0;
  for (; k + kFixedLanes <= count; k += kFixedLanes) {
    __m512d x = _mm512_mul_pd(widened(_mm256_loadu_ps(row + k)), _mm512_loadu_pd(lanes.scale + k));
    const __mmask8 fast = fitting(x, _mm512_abs_pd(x));
    if (fast != 0xff) {
      for (std::size_t t = 0; t < kFixedLanes; ++t) {
        if (!((fast >> t) & 1u)) slow.take(k + t, static_cast<double>(row[k + t]));
      }
      x = _mm512_maskz_mov_pd(fast, x);
    }
    const __m512i plain = _mm512_loadu_si512(lanes.plain + k);
    _mm512_storeu_si512(lanes.plain + k,
                        _mm512_add_epi64(plain, _mm512_castpd_si512(_mm512_add_pd(x, bias))));
    const SquareVectors square = square_parts(x);
    const __m512i high = _mm512_loadu_si512(lanes.square_high + k);
    _mm512_storeu_si512(lanes.square_high + k, _mm512_add_epi64(high, square.high));
    const __m512i low = _mm512_loadu_si512(lanes.square_low + k);
    _mm512_storeu_si512(lanes.square_low + k, _mm512_add_epi64(low, square.low));
  }
  if (k < count) {
    const DimensionLanes rest{lanes.plain + k, lanes.square_high + k, lanes.square_low + k, lanes.scale + k};
    struct Shifted final : SlowValueSink {
      SlowValueSink& inner;
      std::size_t offset;
      Shifted(SlowValueSink& sink, std::size_t by) : inner(sink), offset(by) {}
      void take(std::size_t index, double value) override { inner.take(index + offset, value); }
    } shifted(slow, k);
    add_row_portable(rest, row + k, count - k, shifted);
  }
}

}  // namespace metrics

#endif  // VEXTRAL_X86
