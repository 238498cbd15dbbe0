// The fixed-point lanes with AVX2: eight values per step, widened to doubles
// in two 256-bit halves (lanes 0-3 and 4-7).
#include "fixed_point_lanes.hpp"

#if VEXTRAL_X86

#include <cstring>
#include <immintrin.h>

namespace metrics {

namespace {

// Lanes the fixed-point sums can take, as an all-ones mask per lane.
VEXTRAL_TARGET_AVX2 inline __m256d fitting(__m256d x, __m256d magnitude) {
  const __m256d in_range =
      _mm256_and_pd(_mm256_cmp_pd(magnitude, _mm256_set1_pd(kFixedSmallest), _CMP_GE_OQ),
                    _mm256_cmp_pd(magnitude, _mm256_set1_pd(kFixedBound), _CMP_LT_OQ));
  return _mm256_or_pd(in_range, _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_EQ_OQ));
}

VEXTRAL_TARGET_AVX2 inline __m256d magnitude_of(__m256d x) {
  return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
}

struct SquareVectors {
  __m256i high;
  __m256i low;
};

VEXTRAL_TARGET_AVX2 inline SquareVectors square_parts(__m256d x) {
  const __m256d bias = _mm256_set1_pd(kFixedBias);
  const __m256d square = _mm256_mul_pd(x, x);
  const __m256d biased_high = _mm256_add_pd(square, bias);
  const __m256d high = _mm256_sub_pd(biased_high, bias);
  const __m256d low = _mm256_sub_pd(square, high);
  return {_mm256_castpd_si256(biased_high),
          _mm256_castpd_si256(_mm256_add_pd(low, _mm256_set1_pd(kLowSquareBias)))};
}

VEXTRAL_TARGET_AVX2 inline __m256i biased(__m256d x) {
  return _mm256_castpd_si256(_mm256_add_pd(x, _mm256_set1_pd(kFixedBias)));
}

}  // namespace

VEXTRAL_TARGET_AVX2 void add_similarities_avx2(SimilarityLanes& lanes, const float* values,
                                               std::size_t count, SlowValueSink& slow) {
  __m256i plain[2], absolute[2], square_high[2], square_low[2];
  for (int h = 0; h < 2; ++h) {
    plain[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes.plain + 4 * h));
    absolute[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes.absolute + 4 * h));
    square_high[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes.square_high + 4 * h));
    square_low[h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes.square_low + 4 * h));
  }
  std::uint64_t steps = 0;
  for (std::size_t first = 0; first < count; first += kFixedLanes, ++steps) {
    float tail[kFixedLanes] = {};
    const float* step_values = values + first;
    if (count - first < kFixedLanes) {
      std::memcpy(tail, values + first, (count - first) * sizeof(float));
      step_values = tail;
    }
    __m256d x[2] = {_mm256_cvtps_pd(_mm_loadu_ps(step_values)),
                    _mm256_cvtps_pd(_mm_loadu_ps(step_values + 4))};
    __m256d magnitude[2] = {magnitude_of(x[0]), magnitude_of(x[1])};
    const __m256d fast[2] = {fitting(x[0], magnitude[0]), fitting(x[1], magnitude[1])};
    const int fast_bits = _mm256_movemask_pd(fast[0]) | _mm256_movemask_pd(fast[1]) << 4;
    if (fast_bits != 0xff) {
      for (std::size_t t = 0; t < kFixedLanes && first + t < count; ++t) {
        if (!((fast_bits >> t) & 1)) slow.take(first + t, static_cast<double>(values[first + t]));
      }
      for (int h = 0; h < 2; ++h) {
        x[h] = _mm256_and_pd(x[h], fast[h]);
        magnitude[h] = _mm256_and_pd(magnitude[h], fast[h]);
      }
    }
    for (int h = 0; h < 2; ++h) {
      plain[h] = _mm256_add_epi64(plain[h], biased(x[h]));
      absolute[h] = _mm256_add_epi64(absolute[h], biased(magnitude[h]));
      const SquareVectors square = square_parts(x[h]);
      square_high[h] = _mm256_add_epi64(square_high[h], square.high);
      square_low[h] = _mm256_add_epi64(square_low[h], square.low);
    }
  }
  for (int h = 0; h < 2; ++h) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes.plain + 4 * h), plain[h]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes.absolute + 4 * h), absolute[h]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes.square_high + 4 * h), square_high[h]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes.square_low + 4 * h), square_low[h]);
  }
  lanes.steps += steps;
}

VEXTRAL_TARGET_AVX2 void add_row_avx2(const DimensionLanes& lanes, const float* row, std::size_t count,
                                      SlowValueSink& slow) {
  constexpr std::size_t kWidth = 4;
  std::size_t k = 0;
  for (; k + kWidth <= count; k += kWidth) {
    __m256d x = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(row + k)), _mm256_loadu_pd(lanes.scale + k));
    const __m256d fast = fitting(x, magnitude_of(x));
    const int fast_bits = _mm256_movemask_pd(fast);
    if (fast_bits != 0xf) {
      for (std::size_t t = 0; t < kWidth; ++t) {
        if (!((fast_bits >> t) & 1)) slow.take(k + t, static_cast<double>(row[k + t]));
      }
      x = _mm256_and_pd(x, fast);
    }
    auto* plain = reinterpret_cast<__m256i*>(lanes.plain + k);
    _mm256_storeu_si256(plain, _mm256_add_epi64(_mm256_loadu_si256(plain), biased(x)));
    const SquareVectors square = square_parts(x);
    auto* high = reinterpret_cast<__m256i*>(lanes.square_high + k);
    _mm256_storeu_si256(high, _mm256_add_epi64(_mm256_loadu_si256(high), square.high));
    auto* low = reinterpret_cast<__m256i*>(lanes.square_low + k);
    _mm256_storeu_si256(low, _mm256_add_epi64(_mm256_loadu_si256(low), square.low));
  }
  for (; k < count; ++k) {
    // The last few dimensions one at a time, as the portable path does.
    const DimensionLanes rest{lanes.plain + k, lanes.square_high + k, lanes.square_low + k, lanes.scale + k};
    struct Shifted final : SlowValueSink {
      SlowValueSink& inner;
      std::size_t offset;
      Shifted(SlowValueSink& sink, std::size_t by) : inner(sink), offset(by) {}
      void take(std::size_t index, double value) override { inner.take(index + offset, value); }
    } shifted(slow, k);
    add_row_portable(rest, row + k, 1, shifted);
  }
}

}  // namespace metrics

#endif  // VEXTRAL_X86
