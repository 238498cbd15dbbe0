#include <gtest/gtest.h>

#include "float_bits.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "failure.hpp"
#include "metrics.hpp"

using metrics::EmbeddingBatch;

TEST(Coverage, DegenerateBatchesGiveZero) {
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch{})), bits(0.0f));
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{3, 4}}))), bits(0.0f));
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{}, {1, 2}}))), bits(0.0f));
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{1, 2}, {1, 2}}))), bits(0.0f));
}

TEST(Coverage, ExactValues) {
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{1, 0}, {0, 1}}))), bits(0.2f));
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{1, 0}, {-1, 0}}))),
            bits(0.33333334f));
}

TEST(Coverage, ShortAndEmptyRowsSkipMissingElementsButCountInN) {
  // means [2, 1], variances [1, 0.5]: v = 0.75
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{1, 2}, {3}}))),
            bits(0.42857143f));
  // means [0.5, 1], variances [0.125, 0.5]: v = 0.3125
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{1, 2}, {}}))),
            bits(0.23809524f));
}

TEST(Coverage, NonFiniteDataAndOverflowingVarianceGiveOne) {
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{kNaN, 0}, {0, 1}}))), bits(1.0f));
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{kInf, 0}, {0, 1}}))), bits(1.0f));
  EXPECT_EQ(bits(metrics::compute_coverage(EmbeddingBatch::from_rows({{1e20f, 0}, {-1e20f, 0}}))),
            bits(1.0f));
}

TEST(Coverage, RowLongerThanRowZeroFailsWithBoundsMessage) {
  try {
    metrics::compute_coverage(EmbeddingBatch::from_rows({{1}, {2, 3}}));
    FAIL() << "expected an internal failure";
  } catch (const metrics::InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "index out of bounds: the len is 1 but the index is 1");
  }
  // The check applies to every row, not just the second.
  EXPECT_THROW(metrics::compute_coverage(EmbeddingBatch::from_rows({{1, 2}, {3}, {4, 5, 6}})),
               metrics::InternalFailure);
}
