// A float32 base-2 logarithm that is correctly rounded and therefore gives
// the same bits on every platform, and the NDCG position weight built on it.
//
// Why not the platform's log2f: glibc's single-precision log2f is one ulp off
// at x = 4165, 8330, 16660, 31139 and about 1,300 other integers below 2^24,
// which changes the last bit of NDCG for long lists, and other C libraries
// are off at other places.
//
// How: log2 is evaluated in double precision by std::log2 and rounded once to
// float. The exhaustive test in tests/cpp/log2f_test.cpp proves, against a
// long-double reference, that for every integer x in [1, 2^24] (and for
// every float from 2^24 up to 2^64, so every argument float(i) + 1 that a
// position i can produce) the exact base-2 logarithm lies more than 4 double
// ulps from the nearest float32 rounding midpoint (the smallest margin is
// 6.9 ulps, at x = 6989003 and 13978006). Any double log2 whose error is at
// most 1 ulp, as is the case for every mainstream C library, therefore rounds
// to the correctly rounded float32 result, so no argument in that domain
// needs a special case. Beyond that domain, a one-off search over every
// positive finite float (described in log2f.cpp, too slow for the suite)
// found every exact logarithm at least 2.69 double ulps from a midpoint, so
// the function is correctly rounded for every float argument as well.
#pragma once

#include <cstdint>

namespace metrics {

// Base-2 logarithm of x in float32, correctly rounded (see above).
// log2(1) = +0, log2(+-0) = -inf, log2(+inf) = +inf, negative x and NaN give
// NaN.
float log2f_correctly_rounded(float x) noexcept;

// The NDCG weight of the 0-based position i:
//   w(i) = 1 / max(log2(float(i) + 1), 1),
// evaluated in float32 in exactly that order: i is rounded to the nearest
// float, 1.0f is added, the logarithm is taken, the larger of it and 1.0f is
// taken, and 1.0f is divided by it. w(0) = w(1) = 1, w(3) = 0.5.
float position_weight(std::uint64_t position) noexcept;

}  // namespace metrics
