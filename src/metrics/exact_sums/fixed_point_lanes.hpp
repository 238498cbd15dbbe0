// The fast way into an exact sum: most values are added as 64-bit
// fixed-point integers, eight lanes side by side, and only the rare rest goes
// through ExactSum one by one.
//
// A value x with 2^-17 <= |x| < 2 (or x = 0) has no bit below 2^-40, so
// x * 2^40 is an integer below 2^41, and x^2 (exact in a double) has no bit
// below 2^-80: split at 2^-40 into a high part h and a low part l, both
// h * 2^40 and l * 2^80 are integers below 2^42. Adding a constant whose
// last bit weighs 2^-40 (kFixedBias) turns x into those integers with one
// floating-point addition: the bit pattern of x + kFixedBias minus that of
// kFixedBias is x * 2^40, exactly. The lanes add the biased bit patterns as
// they are, modulo 2^64, and take the bias off once per flush (steps times
// the bias's pattern): the true sums stay below 2^62 for kFlushSteps steps,
// so the modular result is exact.
//
// Values outside that range (tiny, large, NaN or infinite) are replaced by 0
// in the lanes and handed to the slow path. Which values go which way
// changes nothing: both ways are exact. Internal to the metrics module.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "pair_kernel/isa_target.hpp"

namespace metrics {

inline constexpr std::size_t kFixedLanes = 8;
// The weights of the lowest bit of the plain, absolute and high square lanes
// and of the low square lanes.
inline constexpr int kFixedExponent = -40;
inline constexpr int kLowSquareExponent = -80;
// Lane steps between two flushes: 2^20 increments below 2^42 each.
inline constexpr std::uint64_t kFlushSteps = std::uint64_t{1} << 20;

// 1.5 * 2^12: its last bit weighs 2^-40, and x + kFixedBias stays in its
// binade for |x| < 2048.
inline constexpr double kFixedBias = 6144.0;
// 1.5 * 2^-28: its last bit weighs 2^-80, for the low parts (|l| <= 2^-41).
inline constexpr double kLowSquareBias = 0x1.8p-28;
// The smallest magnitude the lanes take (besides 0) and the bound they stay
// below.
inline constexpr double kFixedSmallest = 0x1p-17;
inline constexpr double kFixedBound = 2.0;

inline constexpr std::uint64_t kFixedBiasBits = std::bit_cast<std::uint64_t>(kFixedBias);
inline constexpr std::uint64_t kLowSquareBiasBits = std::bit_cast<std::uint64_t>(kLowSquareBias);

// A lane's true sum: its biased patterns less `steps` biases, modulo 2^64.
inline std::int64_t unbiased(std::uint64_t lane, std::uint64_t steps, std::uint64_t bias_bits) noexcept {
  return static_cast<std::int64_t>(lane - steps * bias_bits);
}

inline bool fits_fixed_lanes(double x) noexcept {
  const double magnitude = x < 0 ? -x : x;
  return x == 0.0 || (magnitude >= kFixedSmallest && magnitude < kFixedBound);
}

// Takes the values the lanes cannot: called rarely, out of line.
class SlowValueSink {
 public:
  virtual void take(std::size_t index, double value) = 0;

 protected:
  ~SlowValueSink() = default;
};

// The lanes of a sum of similarities: sum x, sum |x| and sum x^2.
struct SimilarityLanes {
  std::uint64_t plain[kFixedLanes];
  std::uint64_t absolute[kFixedLanes];
  std::uint64_t square_high[kFixedLanes];
  std::uint64_t square_low[kFixedLanes];
  // Steps since the last flush; every step adds one biased value (perhaps a
  // biased 0) to every lane.
  std::uint64_t steps;
};

// Adds values[0, count) to the lanes, in ceil(count / 8) steps, and hands
// every value the lanes cannot take to `slow` with its index. The caller
// keeps steps + ceil(count / 8) <= kFlushSteps.
using SimilarityLaneAdder = void (*)(SimilarityLanes& lanes, const float* values, std::size_t count,
                                     SlowValueSink& slow);

void add_similarities_portable(SimilarityLanes& lanes, const float* values, std::size_t count,
                               SlowValueSink& slow);
#if VEXTRAL_X86
void add_similarities_avx2(SimilarityLanes& lanes, const float* values, std::size_t count,
                           SlowValueSink& slow);
void add_similarities_avx512(SimilarityLanes& lanes, const float* values, std::size_t count,
                             SlowValueSink& slow);
#endif

// The lanes of per-dimension sums: for each dimension k, sum x and sum x^2
// of x = r * scale[k], where scale[k] is a power of two chosen so that the
// dimension's values mostly fit the lanes.
struct DimensionLanes {
  std::uint64_t* plain;
  std::uint64_t* square_high;
  std::uint64_t* square_low;
  const double* scale;
};

// Adds row[0, count) to the lanes of dimensions [0, count), one step each,
// and hands every value the lanes cannot take to `slow` (with its
// dimension and its unscaled value).
using DimensionLaneAdder = void (*)(const DimensionLanes& lanes, const float* row, std::size_t count,
                                    SlowValueSink& slow);

void add_row_portable(const DimensionLanes& lanes, const float* row, std::size_t count,
                      SlowValueSink& slow);
#if VEXTRAL_X86
void add_row_avx2(const DimensionLanes& lanes, const float* row, std::size_t count, SlowValueSink& slow);
void add_row_avx512(const DimensionLanes& lanes, const float* row, std::size_t count, SlowValueSink& slow);
#endif

// The lanes of one instruction-set path (kernel_path.cpp keeps them in its
// table beside the path's tile); every path gives the same sums.
struct FixedPointLanes {
  SimilarityLaneAdder similarities;
  DimensionLaneAdder rows;
};

enum class KernelPath : unsigned char;

// The lanes of `path`. Fails with InternalFailure, as pair_tile_kernel
// does, when this build has no such path or the processor cannot run it.
FixedPointLanes fixed_point_lanes(KernelPath path);

}  // namespace metrics
