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


std::uint32_t distinctiveness_bits(std::initializer_list<std::initializer_list<float>> rows) {
  return bits(metrics::compute_distinctiveness(EmbeddingBatch::from_rows(rows)));
}

}  // namespace

TEST(Distinctiveness, DegenerateBatchesGiveZero) {
  EXPECT_EQ(bits(metrics::compute_distinctiveness(EmbeddingBatch{})), bits(0.0f));
  EXPECT_EQ(distinctiveness_bits({{3, 4}}), bits(0.0f));
  EXPECT_EQ(distinctiveness_bits({{}, {1, 2}}), bits(0.0f));
  EXPECT_EQ(distinctiveness_bits({{}, {1, 0}, {0, 1}}), bits(0.0f));
}

TEST(Distinctiveness, OrthogonalAndOppositeRows) {
  EXPECT_EQ(distinctiveness_bits({{1, 0}, {0, 1}}), bits(1.0f));
  // The similarity keeps its sign: e = -1.
  EXPECT_EQ(distinctiveness_bits({{1, 0}, {-1, 0}}), bits(0.0f));
}

TEST(Distinctiveness, SimilarityRoundedBelowOne) {
  // One similarity 0.99999994: e = 0.99999994, s = 0, t = 2^-24.
  EXPECT_EQ(distinctiveness_bits({{1, 2}, {1, 2}}), bits(std::ldexp(1.0f, -24)));
  // Signed: e = -0.99999994 gives the same 1 - |e|.
  EXPECT_EQ(distinctiveness_bits({{1, 2}, {-1, -2}}), bits(std::ldexp(1.0f, -24)));
}

TEST(Distinctiveness, SimilarityRoundedAboveOneIsLiftedToZero) {
  // 1 - |1.0000001| is slightly negative; the max lifts it to +0.
  EXPECT_EQ(distinctiveness_bits({{1, 4}, {1, 4}}), bits(0.0f));
}

TEST(Distinctiveness, ThreeRows) {
  // Similarities 0, 1, 0: e = 1/3, s = sqrt(2/9).
  EXPECT_EQ(distinctiveness_bits({{1, 0}, {0, 1}, {1, 0}}), bits(0.98093629f));
}

TEST(Distinctiveness, FourRowsMeanEqualsSpread) {
  // Similarities 0, 0, 1/sqrt3, 0, 1/sqrt3, 1/sqrt3.
  EXPECT_EQ(distinctiveness_bits({{2, 0, 0}, {0, 3, 0}, {0, 0, 4}, {1, 1, 1}}), bits(0.91666663f));
}

TEST(Distinctiveness, ProductAboveOneIsCapped) {
  // e = -1/3, s = sqrt(8/9): the product is about 1.2952.
  EXPECT_EQ(distinctiveness_bits({{1, 0}, {-1, 0}, {1, 0}, {-1, 0}}), bits(1.0f));
}

TEST(Distinctiveness, EmptyAndZeroRowsGiveZeroSimilarity) {
  EXPECT_EQ(distinctiveness_bits({{1, 2}, {}}), bits(1.0f));
  EXPECT_EQ(distinctiveness_bits({{0, 0}, {0, 0}}), bits(1.0f));
  EXPECT_EQ(distinctiveness_bits({{1e20f, 1e20f}, {1, 1}}), bits(1.0f));
}

TEST(Distinctiveness, RowLongerThanRowZeroIsValid) {
  // One similarity 2/sqrt(13): e = 0.5547, s = 0, t = 1 - e.
  EXPECT_EQ(distinctiveness_bits({{1}, {2, 3}}), bits(0.44529980f));
}

TEST(Distinctiveness, NonFiniteDataGivesOne) {
  EXPECT_EQ(distinctiveness_bits({{kNaN, 0}, {0, 1}}), bits(1.0f));
  EXPECT_EQ(distinctiveness_bits({{kInf, 0}, {0, 1}}), bits(1.0f));
  EXPECT_EQ(distinctiveness_bits({{1, 0}, {-1, 0}, {kNaN, 1}}), bits(1.0f));
}

TEST(Distinctiveness, PublicKernelMatchesReferenceBitForBit) {
  std::mt19937 rng(54321);
  for (std::size_t trial = 0; trial < 50; ++trial) {
    const EmbeddingBatch batch = test_batches::random_batch(
        rng, {.rows = 2 + trial % 17, .dimension = 8, .ragged = true, .special_row_rate = 0.1, .mean = 0.3f});
    const float result = metrics::compute_distinctiveness(batch);
    EXPECT_EQ(bits(result), bits(metrics::reference::distinctiveness_reference(batch)));
    EXPECT_GE(result, 0.0f);
    EXPECT_LE(result, 1.0f);
  }
}
