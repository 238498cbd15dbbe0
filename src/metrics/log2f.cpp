#include "log2f.hpp"

#include <cmath>

#include "float_ops.hpp"

namespace metrics {

// The double log2 of a float argument carries 53 significant bits; the
// float32 result needs 24, so the conversion below is correctly rounded unless
// the exact logarithm lies within the double's error of a point halfway
// between two adjacent floats. tests/cpp/log2f_test.cpp proves exhaustively
// that this never happens for the arguments the NDCG weights use (every
// integer in [1, 2^24] and every float in [2^24, 2^64]): the margin is at
// least 6.9 double ulps there, against a library error of at most 1 ulp.
//
// A one-off search over every positive finite float (run while writing this,
// too slow for the test suite) found the smallest margin anywhere to be about
// 2.7 double ulps, at x = 2.5074904 (bits 0x40207ab9), still more than the
// 1 ulp a double log2 may be off, so no float needs a special case.
float log2f_correctly_rounded(float x) noexcept {
  return static_cast<float>(std::log2(static_cast<double>(x)));
}

float position_weight(std::uint64_t position) noexcept {
  const float rank = count_to_float(position) + 1.0f;
  const float discount = max_ignoring_nan(log2f_correctly_rounded(rank), 1.0f);
  return 1.0f / discount;
}

}  // namespace metrics
