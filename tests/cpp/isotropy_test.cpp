#include <gtest/gtest.h>

#include "float_bits.hpp"
#include "random_batches.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "metrics.hpp"
#include "reference.hpp"

using metrics::EmbeddingBatch;

namespace {


std::uint32_t isotropy_bits(std::initializer_list<std::initializer_list<float>> rows) {
  return bits(metrics::compute_isotropy(EmbeddingBatch::from_rows(rows)));
}

}  // namespace

TEST(Isotropy, DegenerateBatchesGiveZero) {
  EXPECT_EQ(bits(metrics::compute_isotropy(EmbeddingBatch{})), bits(0.0f));
  EXPECT_EQ(isotropy_bits({{3, 4}}), bits(0.0f));
  EXPECT_EQ(isotropy_bits({{}, {1, 2}}), bits(0.0f));
  EXPECT_EQ(isotropy_bits({{}, {1, 0}, {0, 1}}), bits(0.0f));
}

TEST(Isotropy, OrthogonalAndCollinearRows) {
  EXPECT_EQ(isotropy_bits({{1, 0}, {0, 1}}), bits(1.0f));
  // Opposite directions count as collinear.
  EXPECT_EQ(isotropy_bits({{1, 0}, {-1, 0}}), bits(0.0f));
}

TEST(Isotropy, SimilarityRoundedBelowOneIsKept) {
  // The similarity of the normalised rows is 0.99999994, not 1: 1 - it is 2^-24.
  EXPECT_EQ(isotropy_bits({{1, 2}, {1, 2}}), bits(std::ldexp(1.0f, -24)));
  // Opposite rows: the absolute value of -0.99999994.
  EXPECT_EQ(isotropy_bits({{1, 2}, {-1, -2}}), bits(std::ldexp(1.0f, -24)));
}

TEST(Isotropy, SimilarityRoundedAboveOneIsCapped) {
  // The similarity is 1.0000001; the cap brings the mean back to 1.
  EXPECT_EQ(isotropy_bits({{1, 4}, {1, 4}}), bits(0.0f));
}

TEST(Isotropy, MeanOverThreePairs) {
  // Similarities 0, 1, 0: 1 - 1/3 in float32.
  EXPECT_EQ(isotropy_bits({{1, 0}, {0, 1}, {1, 0}}), bits(0.66666663f));
}

TEST(Isotropy, EmptyAndZeroRowsContributeZeroButCountAsPairs) {
  EXPECT_EQ(isotropy_bits({{1, 2}, {}}), bits(1.0f));
  EXPECT_EQ(isotropy_bits({{0, 0}, {0, 0}}), bits(1.0f));
  // Pairs (0,1) = 1, (0,2) = 0, (1,2) = 0: mean 1/3.
  EXPECT_EQ(isotropy_bits({{1, 0}, {2, 0}, {}}), bits(0.66666663f));
}

TEST(Isotropy, RowLongerThanRowZeroIsValid) {
  // Similarity over the first element only: 2 / sqrt(13).
  EXPECT_EQ(isotropy_bits({{1}, {2, 3}}), bits(0.44529980f));
  EXPECT_NO_THROW(metrics::compute_isotropy(EmbeddingBatch::from_rows({{1, 2}, {3}, {4, 5, 6}})));
}

TEST(Isotropy, NonFiniteDataGivesZero) {
  EXPECT_EQ(isotropy_bits({{kNaN, 0}, {0, 1}}), bits(0.0f));
  // [inf, 0] normalises to [NaN, 0]: the similarity NaN*0 + 0*1 is NaN.
  EXPECT_EQ(isotropy_bits({{kInf, 0}, {0, 1}}), bits(0.0f));
  EXPECT_EQ(isotropy_bits({{1, 0}, {0, 1}, {-kInf, 3}}), bits(0.0f));
}

TEST(Isotropy, OverflowingSquaresGiveAZeroRow) {
  // [1e20, 1e20] normalises to [0, 0], so its similarity with anything is 0.
  EXPECT_EQ(isotropy_bits({{1e20f, 1e20f}, {1, 1}}), bits(1.0f));
}

TEST(Isotropy, PublicKernelMatchesReferenceBitForBit) {
  std::mt19937 rng(12345);
  for (std::size_t trial = 0; trial < 50; ++trial) {
    const EmbeddingBatch batch = test_batches::random_batch(
        rng, {.rows = 2 + trial % 17, .dimension = 8, .ragged = true, .special_row_rate = 0.1, .mean = 0.0f});
    const float result = metrics::compute_isotropy(batch);
    EXPECT_EQ(bits(result), bits(metrics::reference::isotropy_reference(batch)));
    EXPECT_GE(result, 0.0f);
    EXPECT_LE(result, 1.0f);
  }
}
