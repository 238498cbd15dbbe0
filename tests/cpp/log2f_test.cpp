// The correctly rounded float32 log2 and the NDCG position weight.
#include "log2f.hpp"

#include <gtest/gtest.h>

#include "float_bits.hpp"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

using metrics::log2f_correctly_rounded;
using metrics::position_weight;



// The spacing of doubles just above the double nearest to y: the unit in
// which a double log2 that is accurate to 1 ulp may be off.
long double double_ulp(long double y) {
  const double d = static_cast<double>(y);
  return static_cast<long double>(std::nextafter(d, std::numeric_limits<double>::infinity())) - d;
}

// Distance, in double ulps, from y > 0 (an exact logarithm, known to
// long-double precision) to the nearest point halfway between two adjacent
// floats. Rounding y to float is a single rounding; both neighbouring
// midpoints of the result have 25 significant bits, so they and their
// distances to y are exact in long double.
long double midpoint_margin(long double y) {
  const float nearest = static_cast<float>(y);
  const long double above = (static_cast<long double>(nearest) + std::nextafter(nearest, kInf)) / 2;
  const long double below =
      (static_cast<long double>(nearest) + std::nextafter(nearest, -kInf)) / 2;
  const long double distance = std::fmin(std::fabs(y - above), std::fabs(y - below));
  return distance / double_ulp(y);
}

// How far every exact logarithm must lie from a midpoint. Anything above 1
// (plus the reference's own error, below 2^-10 double ulps) would do for a
// double log2 that is accurate to 1 ulp; 4 leaves room to spare.
constexpr long double kRequiredMargin = 4.0L;

bool long_double_is_wider_than_double() { return LDBL_MANT_DIG >= DBL_MANT_DIG + 11; }

}  // namespace

TEST(Log2f, ExactAndSpecialValues) {
  EXPECT_EQ(bits(log2f_correctly_rounded(1.0f)), bits(0.0f));
  for (int e = -149; e <= 127; ++e) {
    EXPECT_EQ(log2f_correctly_rounded(std::ldexp(1.0f, e)), static_cast<float>(e)) << e;
  }
  EXPECT_EQ(log2f_correctly_rounded(0.0f), -kInf);
  EXPECT_EQ(log2f_correctly_rounded(-0.0f), -kInf);
  EXPECT_EQ(log2f_correctly_rounded(kInf), kInf);
  EXPECT_TRUE(std::isnan(log2f_correctly_rounded(-1.0f)));
  EXPECT_TRUE(std::isnan(log2f_correctly_rounded(std::numeric_limits<float>::quiet_NaN())));
}

TEST(Log2f, ValuesGlibcLog2fGetsWrong) {
  // glibc's log2f returns the float one ulp away at these arguments.
  EXPECT_EQ(bits(log2f_correctly_rounded(4165.0f)), 0x414062b7u);   // 12.0241003
  EXPECT_EQ(bits(log2f_correctly_rounded(8330.0f)), 0x415062b7u);   // 13.0241003
  EXPECT_EQ(bits(log2f_correctly_rounded(16660.0f)), 0x416062b7u);  // 14.0241003
  EXPECT_EQ(bits(log2f_correctly_rounded(31139.0f)), 0x416ed2aeu);  // 14.9264355
  // The closest calls among the integers below 2^24 (6.9 double ulps from a
  // midpoint).
  EXPECT_EQ(log2f_correctly_rounded(6989003.0f), static_cast<float>(log2l(6989003.0L)));
  EXPECT_EQ(log2f_correctly_rounded(13978006.0f), static_cast<float>(log2l(13978006.0L)));
}

TEST(PositionWeight, FirstEightWeightsByBitPattern) {
  EXPECT_EQ(bits(position_weight(0)), 0x3f800000u);  // 1
  EXPECT_EQ(bits(position_weight(1)), 0x3f800000u);  // 1
  EXPECT_EQ(bits(position_weight(2)), 0x3f21849du);  // 0.63092977
  EXPECT_EQ(bits(position_weight(3)), 0x3f000000u);  // 0.5
  EXPECT_EQ(bits(position_weight(4)), 0x3edc81a4u);  // 0.43067658
  EXPECT_EQ(bits(position_weight(5)), 0x3ec61192u);  // 0.3868528
  EXPECT_EQ(bits(position_weight(6)), 0x3eb660cau);  // 0.3562072
  EXPECT_EQ(bits(position_weight(7)), 0x3eaaaaabu);  // 0.33333334
}

TEST(PositionWeight, FollowsTheFloat32EvaluationOrder) {
  // i = 4164: rank 4165, where glibc's log2f would be one ulp off.
  EXPECT_EQ(bits(position_weight(4164)), bits(1.0f / std::bit_cast<float>(0x414062b7u)));
  // 2^24 + 1 rounds to 2^24, so positions 2^24 - 1 and 2^24 share a rank.
  EXPECT_EQ(bits(position_weight(16777215)), bits(1.0f / 24.0f));
  EXPECT_EQ(bits(position_weight(16777216)), bits(1.0f / 24.0f));
  // 2^64 - 1 rounds to 2^64 and adding 1 leaves it there: log2 is 64.
  EXPECT_EQ(bits(position_weight(UINT64_MAX)), bits(1.0f / 64.0f));
  EXPECT_EQ(bits(position_weight(std::uint64_t{1} << 63)), bits(1.0f / 63.0f));
}

// Every rank float(i) + 1 for a position i below 2^24 is an integer in
// [1, 2^24]. For each of them: the exact logarithm (log2l, 64-bit
// significand) lies more than kRequiredMargin double ulps from every float
// rounding midpoint; the platform's double log2 is within 1 ulp of it; and
// log2f_correctly_rounded returns its correct rounding. So any double log2
// with an error of at most 1 ulp, on any platform, gives the same floats.
TEST(Log2f, CorrectlyRoundedForEveryIntegerUpTo2To24) {
  if (!long_double_is_wider_than_double()) GTEST_SKIP() << "needs an extended long double";
  long double smallest_margin = std::numeric_limits<long double>::infinity();
  std::uint32_t smallest_at = 0;
  std::uint32_t failures = 0;
  for (std::uint32_t x = 2; x <= (std::uint32_t{1} << 24); ++x) {
    const long double exact = log2l(static_cast<long double>(x));
    const double platform = std::log2(static_cast<double>(x));
    const long double margin = midpoint_margin(exact);
    if (margin < smallest_margin) {
      smallest_margin = margin;
      smallest_at = x;
    }
    const bool ok = margin > kRequiredMargin &&
                    std::fabs(static_cast<long double>(platform) - exact) <= double_ulp(exact) &&
                    log2f_correctly_rounded(static_cast<float>(x)) == static_cast<float>(exact);
    if (!ok && ++failures <= 10) {
      ADD_FAILURE() << "x = " << x << ": margin " << static_cast<double>(margin)
                    << " double ulps, log2l " << static_cast<double>(exact) << ", log2 "
                    << platform;
    }
  }
  EXPECT_EQ(failures, 0u);
  EXPECT_GT(smallest_margin, kRequiredMargin);
  RecordProperty("smallest_margin_double_ulps",
                 std::to_string(static_cast<double>(smallest_margin)));
  RecordProperty("smallest_margin_at", std::to_string(smallest_at));
  // x = 1: both logarithms are exactly 0.
  EXPECT_EQ(std::log2(1.0), 0.0);
}

// Positions from 2^24 up give ranks x = m * 2^k, m an integer in
// [2^23, 2^24), k in [1, 40] (float(2^64 - 1) = 2^64 is exact). Then
// log2(x) = k + log2(m):
// - for k <= 8 the result lies in [24, 32), the binade of log2(m) itself, so
//   the floats, midpoints and double ulps are those of log2(m) shifted by the
//   integer k, and the previous test already covers them;
// - for k >= 9 the result lies in [32, 64), where floats are 2^-18 apart and
//   doubles 2^-47, both grids containing every integer, so the margin is the
//   same for every k in [9, 40] and is checked here once, at k = 9.
// The implementation itself is then checked against the reference at
// k = 1, 8, 9 and 40.
TEST(Log2f, CorrectlyRoundedForEveryRankFrom2To24To2To64) {
  if (!long_double_is_wider_than_double()) GTEST_SKIP() << "needs an extended long double";
  std::uint32_t failures = 0;
  long double smallest_margin = std::numeric_limits<long double>::infinity();
  for (std::uint32_t m = std::uint32_t{1} << 23; m < (std::uint32_t{1} << 24); ++m) {
    const long double log2_m = log2l(static_cast<long double>(m));
    // k + log2_m is rounded to 64 bits: an error of at most 2^-59, a 2^-12
    // double ulp in [32, 64).
    const long double margin = midpoint_margin(9.0L + log2_m);
    smallest_margin = std::fmin(smallest_margin, margin);
    bool ok = margin > kRequiredMargin;
    for (const int k : {1, 8, 9, 40}) {
      const long double exact = static_cast<long double>(k) + log2_m;
      const float x = std::ldexp(static_cast<float>(m), k);
      const double platform = std::log2(static_cast<double>(x));
      ok = ok && std::fabs(static_cast<long double>(platform) - exact) <= double_ulp(exact) &&
           log2f_correctly_rounded(x) == static_cast<float>(exact);
    }
    if (!ok && ++failures <= 10) {
      ADD_FAILURE() << "m = " << m << ": margin at k >= 9 " << static_cast<double>(margin);
    }
  }
  EXPECT_EQ(failures, 0u);
  RecordProperty("smallest_margin_double_ulps",
                 std::to_string(static_cast<double>(smallest_margin)));
  EXPECT_EQ(log2f_correctly_rounded(std::ldexp(1.0f, 64)), 64.0f);
}
