// The kernels compute in the default floating-point environment whatever the
// caller's thread has set (another rounding mode, flush-to-zero,
// denormals-are-zero), and hand the caller's setting back afterwards, also
// when they fail.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "failure.hpp"
#include "float_bits.hpp"
#include "metrics.hpp"
#include "random_batches.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define VEXTRAL_TEST_MXCSR 1
#endif

using metrics::EmbeddingBatch;
using metrics::PassOptions;

namespace {

// Every measure of one call, as bits.
std::vector<std::uint32_t> all_measures(const EmbeddingBatch& a, const EmbeddingBatch& b,
                                        const PassOptions& options = {}) {
  const std::vector<std::uint64_t> retrieved = {7, 3, 9, 1, 12, 5, 8};
  const std::vector<std::uint64_t> relevant = {3, 5, 11, 8};
  const metrics::RetrievalMetrics r = metrics::compute_retrieval_metrics(retrieved, relevant, 6);
  const metrics::BatchMeasures m = metrics::compute_batch_measures(a, options);
  return {bits(metrics::compute_coverage(a)),
          bits(metrics::compute_isotropy(a, options)),
          bits(metrics::compute_distinctiveness(a, options)),
          bits(metrics::compute_quality_score(a, options)),
          bits(metrics::detect_drift(a, b, options)),
          bits(m.isotropy), bits(m.coverage), bits(m.distinctiveness), bits(m.quality_score),
          bits(r.precision), bits(r.recall), bits(r.f1_score), bits(r.mrr), bits(r.ndcg)};
}

// Rows crowded into a cone, so that no measure is clamped and every rounding
// of the sums shows in the results.
EmbeddingBatch cone_batch(unsigned seed, std::size_t rows, std::size_t dimension) {
  std::mt19937 rng(seed);
  test_batches::BatchRecipe recipe;
  recipe.rows = rows;
  recipe.dimension = dimension;
  recipe.mean = 2.0f;
  return test_batches::random_batch(rng, recipe);
}

// Runs `work` with the rounding mode set to `mode`, then puts round-to-nearest
// back; returns the mode `work` left behind.
int with_rounding(int mode, const std::function<void()>& work) {
  EXPECT_EQ(std::fesetround(mode), 0);
  work();
  const int after = std::fegetround();
  std::fesetround(FE_TONEAREST);
  return after;
}

TEST(FloatEnvironment, EveryRoundingModeGivesTheRoundToNearestBits) {
  const EmbeddingBatch a = cone_batch(1, 40, 24);
  const EmbeddingBatch b = cone_batch(2, 33, 24);
  const std::vector<std::uint32_t> expected = all_measures(a, b);
  for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    std::vector<std::uint32_t> got;
    const int after = with_rounding(mode, [&] { got = all_measures(a, b); });
    EXPECT_EQ(got, expected) << "rounding mode " << mode;
    EXPECT_EQ(after, mode) << "the caller's rounding mode is restored";
  }
}

TEST(FloatEnvironment, WorkerThreadsComputeInTheDefaultEnvironmentToo) {
  // Large enough for the pass to start worker threads.
  const EmbeddingBatch a = cone_batch(3, 1100, 64);
  PassOptions threaded;
  threaded.threads = 3;
  const float isotropy = metrics::compute_isotropy(a);
  const float distinctiveness = metrics::compute_distinctiveness(a);
  float upward_isotropy = 0, upward_distinctiveness = 0;
  with_rounding(FE_UPWARD, [&] {
    upward_isotropy = metrics::compute_isotropy(a, threaded);
    upward_distinctiveness = metrics::compute_distinctiveness(a, threaded);
  });
  EXPECT_EQ(bits(upward_isotropy), bits(isotropy));
  EXPECT_EQ(bits(upward_distinctiveness), bits(distinctiveness));
}

TEST(FloatEnvironment, AFailingKernelRestoresTheCallersEnvironment) {
  // Row 1 is longer than row 0: coverage fails.
  const EmbeddingBatch bad = EmbeddingBatch::from_rows({{1.0f}, {2.0f, 3.0f}});
  const int after = with_rounding(FE_UPWARD, [&] {
    EXPECT_THROW(metrics::compute_coverage(bad), metrics::InternalFailure);
  });
  EXPECT_EQ(after, FE_UPWARD);
}

#if defined(VEXTRAL_TEST_MXCSR)

constexpr unsigned kFlushToZero = 0x8000;
constexpr unsigned kDenormalsAreZero = 0x0040;
constexpr unsigned kStatusFlags = 0x003F;

// Coverage of two rows +-2^-70: each variance term is 2^-140, a subnormal,
// and so is the result; flush-to-zero or denormals-are-zero would make it 0.
EmbeddingBatch subnormal_spread() {
  const float tiny = std::ldexp(1.0f, -70);
  return EmbeddingBatch::from_rows({{tiny}, {-tiny}});
}

TEST(FloatEnvironment, SubnormalsAreHonouredUnderFlushToZeroAndDenormalsAreZero) {
  const EmbeddingBatch a = subnormal_spread();
  const float expected = metrics::compute_coverage(a);
  ASSERT_GT(expected, 0.0f);
  ASSERT_LT(expected, std::numeric_limits<float>::min()) << "the case needs a subnormal result";
  const EmbeddingBatch cone = cone_batch(4, 30, 16);
  const EmbeddingBatch other = cone_batch(5, 30, 16);
  const std::vector<std::uint32_t> expected_all = all_measures(cone, other);

  const unsigned original = _mm_getcsr();
  for (unsigned mode : {kFlushToZero, kDenormalsAreZero, kFlushToZero | kDenormalsAreZero,
                        kFlushToZero | 0x4000u /* and round down */}) {
    const unsigned caller = (original & ~kStatusFlags) | mode;
    _mm_setcsr(caller);
    const float got = metrics::compute_coverage(a);
    const std::vector<std::uint32_t> got_all = all_measures(cone, other);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(original);
    EXPECT_EQ(bits(got), bits(expected)) << std::hex << "MXCSR " << caller;
    EXPECT_EQ(got_all, expected_all) << std::hex << "MXCSR " << caller;
    EXPECT_EQ(after & ~kStatusFlags, caller & ~kStatusFlags) << "the caller's MXCSR is restored";
  }
}

#endif

}  // namespace
