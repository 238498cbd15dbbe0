#include <gtest/gtest.h>

#include "failure_message.hpp"
#include "float_bits.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "failure.hpp"
#include "drift.hpp"
#include "metrics.hpp"
#include "quality_score.hpp"

using metrics::EmbeddingBatch;

namespace {

const char* const kBoundsMessage = "index out of bounds: the len is 1 but the index is 1";


EmbeddingBatch batch(std::initializer_list<std::initializer_list<float>> rows) {
  return EmbeddingBatch::from_rows(rows);
}


}  // namespace

// --- quality score: the combining arithmetic -------------------------------

TEST(CombineQuality, WeightedSums) {
  EXPECT_EQ(bits(metrics::combine_quality(1.0f, 1.0f, 1.0f)), bits(1.0f));
  EXPECT_EQ(bits(metrics::combine_quality(1.0f, 0.5f, 0.25f)), bits(0.625f));
  EXPECT_EQ(bits(metrics::combine_quality(0.5f, 0.0f, 0.0f)), bits(0.2f));
  EXPECT_EQ(bits(metrics::combine_quality(0.0f, 1.0f, 1.0f)), bits(0.6f));
  EXPECT_EQ(bits(metrics::combine_quality(1.0f, 0.2f, 1.0f)), bits(0.76f));
  EXPECT_EQ(bits(metrics::combine_quality(0.0f, 0.33333334f, 0.0f)), bits(0.10000001f));
  EXPECT_EQ(bits(metrics::combine_quality(0.0f, 0.0f, 0.0f)), bits(0.0f));
}

TEST(CombineQuality, AddsRoundedProductsIsotropyCoverageDistinctiveness) {
  // Pin (iso*0.4 + cov*0.3) + dist*0.3 with values for which the other
  // associations and the fused multiply-add forms all round differently.
  const float iso = 0.58f, cov = 0.53f, dist = 0.01f;
  const float a = iso * 0.4f, b = cov * 0.3f, c = dist * 0.3f;
  const float in_order = (a + b) + c;
  ASSERT_NE(bits(in_order), bits(a + (b + c)));
  ASSERT_NE(bits(in_order), bits((a + c) + b));
  ASSERT_NE(bits(in_order), bits(std::fma(dist, 0.3f, std::fma(cov, 0.3f, a))));
  ASSERT_NE(bits(in_order), bits(std::fma(cov, 0.3f, a) + c));
  EXPECT_EQ(bits(metrics::combine_quality(iso, cov, dist)), bits(in_order));
}

TEST(CombineQuality, ClampsMaxThenMinIgnoringNaN) {
  EXPECT_EQ(bits(metrics::combine_quality(kNaN, 1.0f, 1.0f)), bits(0.0f));
  EXPECT_EQ(bits(metrics::combine_quality(2.0f, 2.0f, 2.0f)), bits(1.0f));
  EXPECT_EQ(bits(metrics::combine_quality(-1.0f, 0.0f, 0.0f)), bits(0.0f));
  EXPECT_EQ(bits(metrics::combine_quality(kInf, 0.0f, 0.0f)), bits(1.0f));
}

// --- quality score: the kernel ---------------------------------------------

TEST(QualityScore, DegenerateBatchesScoreZero) {
  EXPECT_EQ(bits(metrics::compute_quality_score(EmbeddingBatch{})), bits(0.0f));
  EXPECT_EQ(bits(metrics::compute_quality_score(batch({{3, 4}}))), bits(0.0f));
  EXPECT_EQ(bits(metrics::compute_quality_score(batch({{}, {1, 2}}))), bits(0.0f));
}

TEST(QualityScore, SmallBatches) {
  EXPECT_EQ(bits(metrics::compute_quality_score(batch({{1, 0}, {0, 1}}))), bits(0.76f));
  EXPECT_EQ(bits(metrics::compute_quality_score(batch({{1, 0}, {-1, 0}}))), bits(0.10000001f));
  EXPECT_EQ(bits(metrics::compute_quality_score(batch({{kNaN, 0}, {0, 1}}))), bits(0.6f));
}

TEST(QualityScore, UsesTheThreeMeasuresAndCombineQuality) {
  const EmbeddingBatch b = batch({{1, 2, 0.5f}, {-3, 1, 2}, {0.25f, 4, -1}, {2, 2}});
  const float expected = metrics::combine_quality(metrics::compute_isotropy(b),
                                                  metrics::compute_coverage(b),
                                                  metrics::compute_distinctiveness(b));
  EXPECT_EQ(bits(metrics::compute_quality_score(b)), bits(expected));
}

TEST(QualityScore, RowLongerThanRowZeroFailsWithCoverageFailure) {
  EXPECT_EQ(failure_message([] { metrics::compute_quality_score(batch({{1}, {2, 3}})); }),
            kBoundsMessage);
}

// --- drift: the combining arithmetic ---------------------------------------

TEST(RelativeDrift, Combinations) {
  EXPECT_EQ(bits(metrics::relative_change(0.5f, 1.0f)), bits(0.33333334f));
  EXPECT_EQ(bits(metrics::relative_change(1.0f, 0.5f)), bits(0.25f));
  EXPECT_EQ(bits(metrics::relative_drift(0.5f, 0.5f, 0.5f, 1.0f, 0.5f, 0.5f)), bits(0.11111111f));
  EXPECT_EQ(bits(metrics::relative_drift(1.0f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f)), bits(0.083333336f));

  EXPECT_EQ(bits(metrics::relative_drift(0, 0, 0, 1, 1, 1)), bits(1.0f));
  EXPECT_EQ(bits(metrics::relative_change(1.0f, 0.0f)), bits(0.5f));
  EXPECT_EQ(bits(metrics::relative_drift(1, 1, 1, 0, 0, 0)), bits(0.5f));

  EXPECT_EQ(bits(metrics::relative_change(0.2f, 0.33333334f)), bits(0.11111111f));
  EXPECT_EQ(bits(metrics::relative_drift(1.0f, 0.2f, 1.0f, 0.0f, 0.33333334f, 0.0f)),
            bits(0.3703704f));
  EXPECT_EQ(bits(metrics::relative_change(0.0f, 1.0f)), bits(1.0f));
  EXPECT_EQ(bits(metrics::relative_change(0.33333334f, 0.2f)), bits(0.1f));
  EXPECT_EQ(bits(metrics::relative_drift(0.0f, 0.33333334f, 0.0f, 1.0f, 0.2f, 1.0f)), bits(0.7f));

  EXPECT_EQ(bits(metrics::relative_drift(0.3f, 0.6f, 0.9f, 0.3f, 0.6f, 0.9f)), bits(0.0f));
}

TEST(RelativeDrift, AddsIsotropyCoverageDistinctivenessInThatOrderAndDividesByThree) {
  // Changes ri, rc, rd for which every other association or order of the
  // sum, and a multiplication by 1/3, round to a different result.
  const float bi = 0.17f, bc = 0.55f, bd = 0.7f, ci = 0.67f, cc = 0.37f, cd = 0.44f;
  const float ri = metrics::relative_change(bi, ci);
  const float rc = metrics::relative_change(bc, cc);
  const float rd = metrics::relative_change(bd, cd);
  const float expected = 0.2321402f;
  ASSERT_EQ(bits(((ri + rc) + rd) / 3.0f), bits(expected));
  ASSERT_NE(bits((ri + (rc + rd)) / 3.0f), bits(expected));
  ASSERT_NE(bits(((ri + rd) + rc) / 3.0f), bits(expected));
  ASSERT_NE(bits(((rc + rd) + ri) / 3.0f), bits(expected));
  ASSERT_NE(bits(((ri + rc) + rd) * (1.0f / 3.0f)), bits(expected));
  ASSERT_NE(bits(ri / 3.0f + rc / 3.0f + rd / 3.0f), bits(expected));
  EXPECT_EQ(bits(metrics::relative_drift(bi, bc, bd, ci, cc, cd)), bits(expected));
}

// --- drift: the kernel -----------------------------------------------------

TEST(DetectDrift, EmptyBatchGivesZeroWithoutComputingAnything) {
  const EmbeddingBatch some = batch({{1, 0}, {0, 1}});
  EXPECT_EQ(bits(metrics::detect_drift(EmbeddingBatch{}, some)), bits(0.0f));
  EXPECT_EQ(bits(metrics::detect_drift(some, EmbeddingBatch{})), bits(0.0f));
  EXPECT_EQ(bits(metrics::detect_drift(EmbeddingBatch{}, EmbeddingBatch{})), bits(0.0f));
  // Nothing is computed, so a batch coverage would reject does not fail.
  EXPECT_EQ(bits(metrics::detect_drift(EmbeddingBatch{}, batch({{1}, {2, 3}}))), bits(0.0f));
  EXPECT_EQ(bits(metrics::detect_drift(batch({{1}, {2, 3}}), EmbeddingBatch{})), bits(0.0f));
}

TEST(DetectDrift, IdenticalAndOneRowBatchesGiveZero) {
  const EmbeddingBatch b = batch({{1, 2, 3}, {-1, 0.5f, 2}, {4, 4, -4}});
  EXPECT_EQ(bits(metrics::detect_drift(b, b)), bits(0.0f));
  EXPECT_EQ(bits(metrics::detect_drift(batch({{3, 4}}), batch({{1, 2}}))), bits(0.0f));
}

TEST(DetectDrift, IsRelativeToTheBaselineSoAsymmetric) {
  const EmbeddingBatch orthogonal = batch({{1, 0}, {0, 1}});
  const EmbeddingBatch opposite = batch({{1, 0}, {-1, 0}});
  EXPECT_EQ(bits(metrics::detect_drift(orthogonal, opposite)), bits(0.3703704f));
  EXPECT_EQ(bits(metrics::detect_drift(opposite, orthogonal)), bits(0.7f));
}

TEST(DetectDrift, OneRowBaselineAgainstFullMeasures) {
  // Baseline measures (0, 0, 0) against a batch whose measures are all 1:
  // [[NaN, 0], [0, 1]] has isotropy 0, so use one with isotropy 1, coverage
  // 1 and distinctiveness 1: orthogonal rows with an overflowing variance.
  const EmbeddingBatch full = batch({{1e20f, 0}, {0, 1e20f}});
  ASSERT_EQ(bits(metrics::compute_isotropy(full)), bits(1.0f));
  ASSERT_EQ(bits(metrics::compute_coverage(full)), bits(1.0f));
  ASSERT_EQ(bits(metrics::compute_distinctiveness(full)), bits(1.0f));
  EXPECT_EQ(bits(metrics::detect_drift(batch({{3, 4}}), full)), bits(1.0f));
  EXPECT_EQ(bits(metrics::detect_drift(full, batch({{3, 4}}))), bits(0.5f));
}

TEST(DetectDrift, UsesTheSixMeasuresAndRelativeDrift) {
  const EmbeddingBatch b = batch({{1, 2, 0.5f}, {-3, 1, 2}, {0.25f, 4, -1}});
  const EmbeddingBatch c = batch({{0.1f, 2}, {3, -1}, {2, 2}, {}});
  const float expected = metrics::relative_drift(
      metrics::compute_isotropy(b), metrics::compute_coverage(b),
      metrics::compute_distinctiveness(b), metrics::compute_isotropy(c),
      metrics::compute_coverage(c), metrics::compute_distinctiveness(c));
  EXPECT_EQ(bits(metrics::detect_drift(b, c)), bits(expected));
}

TEST(DetectDrift, RowLongerThanRowZeroFailsWithCoverageFailure) {
  const EmbeddingBatch bad = batch({{1}, {2, 3}});
  const EmbeddingBatch good = batch({{1, 0}, {0, 1}});
  EXPECT_EQ(failure_message([&] { metrics::detect_drift(bad, good); }), kBoundsMessage);
  EXPECT_EQ(failure_message([&] { metrics::detect_drift(bad, batch({{5}})); }), kBoundsMessage);
  EXPECT_EQ(failure_message([&] { metrics::detect_drift(good, bad); }), kBoundsMessage);
}
