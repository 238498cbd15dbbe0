#include <gtest/gtest.h>

#include "float_bits.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "metrics.hpp"
#include "pairs.hpp"

using metrics::EmbeddingBatch;

namespace {


std::vector<std::uint32_t> row_bits(const EmbeddingBatch& batch, std::size_t i) {
  std::vector<std::uint32_t> out;
  for (float x : batch.row(i)) out.push_back(bits(x));
  return out;
}

std::vector<std::uint32_t> bits_of(std::initializer_list<float> values) {
  std::vector<std::uint32_t> out;
  for (float x : values) out.push_back(bits(x));
  return out;
}

}  // namespace

TEST(Normalize, ScalesToUnitLength) {
  EmbeddingBatch out = metrics::normalize_embeddings(EmbeddingBatch::from_rows({{3, 4}}));
  ASSERT_EQ(out.rows(), 1u);
  EXPECT_EQ(row_bits(out, 0), bits_of({0.6f, 0.8f}));
}

TEST(Normalize, KeepsRowCountOrderAndLengthsOfRaggedBatches) {
  EmbeddingBatch in = EmbeddingBatch::from_rows({{3, 4}, {}, {2}, {0, 0, 5}, {}});
  EmbeddingBatch out = metrics::normalize_embeddings(in);
  ASSERT_EQ(out.rows(), 5u);
  for (std::size_t i = 0; i < in.rows(); ++i) EXPECT_EQ(out.row(i).size(), in.row(i).size());
  EXPECT_EQ(row_bits(out, 0), bits_of({0.6f, 0.8f}));
  EXPECT_EQ(row_bits(out, 2), bits_of({1.0f}));
  EXPECT_EQ(row_bits(out, 3), bits_of({0.0f, 0.0f, 1.0f}));
  // The input is left alone.
  EXPECT_EQ(row_bits(in, 0), bits_of({3.0f, 4.0f}));
}

TEST(Normalize, ZeroAndUnderflowingRowsAreCopied) {
  EmbeddingBatch out = metrics::normalize_embeddings(
      EmbeddingBatch::from_rows({{0, 0}, {1e-30f}, {-0.0f, 1e-25f}}));
  EXPECT_EQ(row_bits(out, 0), bits_of({0.0f, 0.0f}));
  EXPECT_EQ(row_bits(out, 1), bits_of({1e-30f}));
  // The sign of a zero survives the copy, and 1e-25 squared underflows too.
  EXPECT_EQ(row_bits(out, 2), bits_of({-0.0f, 1e-25f}));
}

TEST(Normalize, OverflowingSquaresGiveZeros) {
  EmbeddingBatch out = metrics::normalize_embeddings(EmbeddingBatch::from_rows({{1e20f, 1e20f}}));
  EXPECT_EQ(row_bits(out, 0), bits_of({0.0f, 0.0f}));
}

TEST(Normalize, InfinityBecomesNaNAndOthersZero) {
  EmbeddingBatch out = metrics::normalize_embeddings(
      EmbeddingBatch::from_rows({{kInf, 1}, {2, -kInf, -3}}));
  std::span<const float> r0 = out.row(0);
  EXPECT_TRUE(std::isnan(r0[0]));
  EXPECT_EQ(bits(r0[1]), bits(0.0f));
  std::span<const float> r1 = out.row(1);
  EXPECT_EQ(bits(r1[0]), bits(0.0f));
  EXPECT_TRUE(std::isnan(r1[1]));
  EXPECT_EQ(bits(r1[2]), bits(-0.0f));
}

TEST(Normalize, RowWithNaNIsCopiedUnchanged) {
  const float payload = std::bit_cast<float>(std::uint32_t{0x7fc12345});
  EmbeddingBatch out = metrics::normalize_embeddings(
      EmbeddingBatch::from_rows({{kNaN, 1}, {3, payload, kInf}}));
  EXPECT_EQ(row_bits(out, 0), bits_of({kNaN, 1.0f}));
  EXPECT_EQ(row_bits(out, 1), bits_of({3.0f, payload, kInf}));
}

TEST(Normalize, DividesRatherThanMultipliesByReciprocal) {
  // For [1, 2]: q = sqrtf(5). Every element must be r[k] / q exactly.
  EmbeddingBatch out = metrics::normalize_embeddings(EmbeddingBatch::from_rows({{1, 2}, {1, 4}}));
  volatile float five = 5.0f;
  volatile float seventeen = 17.0f;
  const float q5 = std::sqrt(static_cast<float>(five));
  const float q17 = std::sqrt(static_cast<float>(seventeen));
  EXPECT_EQ(row_bits(out, 0), bits_of({1.0f / q5, 2.0f / q5}));
  EXPECT_EQ(row_bits(out, 1), bits_of({1.0f / q17, 4.0f / q17}));
}

TEST(DotProduct, RunsOverTheShorterLength) {
  const float a[] = {1, 2, 3};
  const float b[] = {4};
  EXPECT_EQ(bits(metrics::dot_product(a, b)), bits(4.0f));
  EXPECT_EQ(bits(metrics::dot_product(b, a)), bits(4.0f));
  EXPECT_EQ(bits(metrics::dot_product(a, std::span<const float>{})), bits(0.0f));
  EXPECT_EQ(bits(metrics::dot_product(std::span<const float>{}, std::span<const float>{})),
            bits(0.0f));
  const float c[] = {4, 5, 6};
  EXPECT_EQ(bits(metrics::dot_product(a, c)), bits(32.0f));
}

TEST(DotProduct, AddsRoundedProductsInIndexOrder) {
  // A float32 running sum in index order: (1e8 + 1) rounds back to 1e8, so
  // the first gives 0 where exact arithmetic gives 1; the second gives 1
  // where summing from the end would give 0.
  const float ones[] = {1.0f, 1.0f, 1.0f};
  const float a[] = {1e8f, 1.0f, -1e8f};
  EXPECT_EQ(bits(metrics::dot_product(a, ones)), bits(0.0f));
  const float b[] = {1e8f, -1e8f, 1.0f};
  EXPECT_EQ(bits(metrics::dot_product(b, ones)), bits(1.0f));
}

TEST(DotProduct, RoundsEachProductBeforeAdding) {
  // x = 1 + 2^-13: x*x = 1 + 2^-12 + 2^-26 rounds to 1 + 2^-12. Added to
  // -(1 + 2^-12) the rounded product gives 0; a fused multiply-add 2^-26.
  const float x = 1.0f + std::ldexp(1.0f, -13);
  const float a[] = {-1.0f, x};
  const float b[] = {1.0f + std::ldexp(1.0f, -12), x};
  ASSERT_EQ(bits(std::fma(x, x, -b[0])), bits(std::ldexp(1.0f, -26)));
  EXPECT_EQ(bits(metrics::dot_product(a, b)), bits(0.0f));
}

TEST(DotProduct, SelfSimilarityOfNormalisedRowsRoundsEitherSide) {
  EmbeddingBatch out = metrics::normalize_embeddings(EmbeddingBatch::from_rows({{1, 2}, {1, 4}}));
  EXPECT_EQ(bits(metrics::dot_product(out.row(0), out.row(0))), bits(0.99999994f));
  EXPECT_EQ(bits(metrics::dot_product(out.row(1), out.row(1))), bits(1.0000001f));
}

TEST(PairOrder, VisitsEachUnorderedPairOnceIOuterJInner) {
  std::vector<std::pair<std::size_t, std::size_t>> seen;
  metrics::for_each_pair(4, [&](std::size_t i, std::size_t j) { seen.emplace_back(i, j); });
  const std::vector<std::pair<std::size_t, std::size_t>> expected = {
      {0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
  EXPECT_EQ(seen, expected);

  for (std::size_t n : {0u, 1u}) {
    int calls = 0;
    metrics::for_each_pair(n, [&](std::size_t, std::size_t) { ++calls; });
    EXPECT_EQ(calls, 0);
  }
}

TEST(PairOrder, PairCount) {
  EXPECT_EQ(metrics::pair_count(0), 0u);
  EXPECT_EQ(metrics::pair_count(1), 0u);
  EXPECT_EQ(metrics::pair_count(2), 1u);
  EXPECT_EQ(metrics::pair_count(4), 6u);
  EXPECT_EQ(metrics::pair_count(10000), 49995000u);
  // n(n - 1) no longer fits 64 bits, n(n - 1)/2 still does.
  EXPECT_EQ(metrics::pair_count((std::size_t{1} << 32) + 1), 9223372039002259456u);
  EXPECT_EQ(metrics::pair_count((std::size_t{1} << 32) + 2), 9223372043297226753u);
  // The largest n whose pair count fits.
  EXPECT_EQ(metrics::pair_count(6074001000u), 18446744070963499500u);
}
