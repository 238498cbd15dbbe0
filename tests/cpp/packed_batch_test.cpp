#include <gtest/gtest.h>

#include "float_bits.hpp"

#include <limits>
#include <random>
#include <string>

#include "metrics.hpp"
#include "pair_kernel/packed_batch.hpp"
#include "pairs.hpp"
#include "random_batches.hpp"

using metrics::EmbeddingBatch;
using metrics::PackedBatch;
using test_batches::BatchRecipe;
using test_batches::random_batch;
using test_batches::same_float;

TEST(PackedBatch, NormalisesEachRowLikeTheRowCopyAndPadsWithPositiveZeros) {
  std::mt19937 rng(31);
  const BatchRecipe recipes[] = {
      {1, 5, false, 0.0, 0.0},    {17, 3, true, 0.1, 0.3},  {40, 33, false, 0.01, 0.3},
      {70, 20, true, 0.01, 0.3},  {65, 1, false, 0.2, 0.3}, {5, 300, true, 0.0, 0.5},
  };
  for (const BatchRecipe& recipe : recipes) {
    const EmbeddingBatch batch = random_batch(rng, recipe);
    const EmbeddingBatch expected = metrics::normalize_embeddings(batch);
    const PackedBatch packed = PackedBatch::normalized(batch);
    ASSERT_EQ(packed.rows(), batch.rows());
    ASSERT_EQ(packed.padded_rows() % PackedBatch::kRowMultiple, 0u);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < packed.padded_rows(); ++i) {
      const std::size_t length = i < batch.rows() ? batch.row(i).size() : 0;
      for (std::size_t k = 0; k < packed.depth(); ++k) {
        const float want = k < length ? expected.row(i)[k] : 0.0f;
        if (!same_float(packed.value(i, k), want) && mismatches++ < 5) {
          ADD_FAILURE() << recipe.rows << " x " << recipe.dimension << ": row " << i << ", element "
                        << k << " is " << packed.value(i, k) << ", expected " << want;
        }
      }
    }
  }
}

TEST(PackedBatch, DepthIsTheLongestRowNotRowZero) {
  const PackedBatch packed = PackedBatch::normalized(EmbeddingBatch::from_rows({{1}, {3, 4}, {}}));
  EXPECT_EQ(packed.depth(), 2u);
  EXPECT_EQ(bits(packed.value(1, 0)), bits(0.6f));
  EXPECT_EQ(bits(packed.value(1, 1)), bits(0.8f));
  EXPECT_EQ(bits(packed.value(0, 1)), bits(0.0f));
  EXPECT_EQ(bits(packed.value(2, 0)), bits(0.0f));
}

TEST(PackedBatch, FitsUnlessPaddingWouldMultiplyTheBatch) {
  EXPECT_TRUE(PackedBatch::fits(EmbeddingBatch::from_rows({{1}})));
  EXPECT_TRUE(PackedBatch::fits(EmbeddingBatch::from_rows({{1, 2, 3}, {4, 5, 6}})));
  // A ragged batch at most about twice its size once padded.
  EmbeddingBatch ragged;
  for (std::size_t i = 0; i < 200; ++i) {
    ragged.start_row();
    for (std::size_t k = 0; k < 10 + i % 10; ++k) ragged.push(1.0f);
  }
  EXPECT_TRUE(PackedBatch::fits(ragged));
  // Many one-element rows and one of a thousand.
  EmbeddingBatch lopsided;
  for (std::size_t i = 0; i < 200; ++i) {
    lopsided.start_row();
    for (std::size_t k = 0; k < (i == 7 ? 1000u : 1u); ++k) lopsided.push(1.0f);
  }
  EXPECT_FALSE(PackedBatch::fits(lopsided));
}

TEST(PackedBatch, RecordsWherePaddingMayMeetNonFiniteElements) {
  // Rectangular: nothing is padded, whatever the values.
  EXPECT_FALSE(PackedBatch::normalized(EmbeddingBatch::from_rows({{kInf, 1}, {kNaN, 2}}))
                   .padding_may_poison());
  // Ragged but finite: padded zeros only ever multiply finite values.
  EXPECT_FALSE(PackedBatch::normalized(EmbeddingBatch::from_rows({{1e20f, 1}, {2}, {}}))
                   .padding_may_poison());

  // [1, inf, 2] normalises to [0, NaN, 0]; the NaN row is copied as it is;
  // [inf, 1e-30] becomes [NaN, 0].
  const PackedBatch packed = PackedBatch::normalized(
      EmbeddingBatch::from_rows({{1, kInf, 2}, {3}, {kNaN, 1, kInf}, {}, {kInf, 1e-30f}}));
  ASSERT_TRUE(packed.padding_may_poison());
  const std::size_t lengths[] = {3, 1, 3, 0, 2};
  const std::size_t ends[] = {2, 0, 3, 0, 1};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(packed.length(i), lengths[i]) << "row " << i;
    EXPECT_EQ(packed.non_finite_end(i), ends[i]) << "row " << i;
  }
}

namespace {

EmbeddingBatch rows_of_lengths(std::initializer_list<std::pair<std::size_t, std::size_t>> groups) {
  EmbeddingBatch batch;
  for (auto [count, length] : groups) {
    for (std::size_t i = 0; i < count; ++i) {
      batch.start_row();
      for (std::size_t k = 0; k < length; ++k) batch.push(1.0f);
    }
  }
  return batch;
}

}  // namespace

TEST(PackedBatch, PaddedLayoutStaysWithinTwiceTheBatchPlusOneMebibyte) {
  // A few long rows: rounding two rows up to the column tile would make the
  // layout 32 times the batch.
  const EmbeddingBatch shapes[] = {
      rows_of_lengths({{2, 1000000}}),  rows_of_lengths({{1, 300000}}),
      rows_of_lengths({{3, 200000}}),   rows_of_lengths({{65, 20000}}),
      rows_of_lengths({{2, 100}}),      rows_of_lengths({{1000, 3}, {1, 50000}}),
      rows_of_lengths({{40, 700}, {30, 100}}), rows_of_lengths({{129, 384}}),
  };
  for (const EmbeddingBatch& batch : shapes) {
    if (!PackedBatch::fits(batch)) continue;
    const PackedBatch packed = PackedBatch::normalized(batch);
    const std::size_t layout_bytes = packed.padded_rows() * packed.depth() * sizeof(float);
    EXPECT_LE(layout_bytes, 2 * batch.value_count() * sizeof(float) + (std::size_t{1} << 20))
        << batch.rows() << " rows, " << batch.value_count() << " values";
  }
  EXPECT_FALSE(PackedBatch::fits(rows_of_lengths({{2, 1000000}})));
  EXPECT_TRUE(PackedBatch::fits(rows_of_lengths({{65, 20000}})));
  EXPECT_TRUE(PackedBatch::fits(rows_of_lengths({{129, 384}})));
}

TEST(PackedBatch, PaddingThatWouldMultiplyTheWorkIsRefused) {
  // Within the memory allowance, but the tile kernel would do 30 times the
  // plain loop's multiply-adds over the padded zeros.
  EXPECT_FALSE(PackedBatch::fits(rows_of_lengths({{200, 1}, {1, 3000}})));
  EXPECT_FALSE(PackedBatch::fits(rows_of_lengths({{2, 40000}})));
  // A small rectangular batch is cheap either way.
  EXPECT_TRUE(PackedBatch::fits(rows_of_lengths({{3, 300}})));
}

// Large enough for worker threads to normalise parts of the blocks: every
// value, padding included, has the bits of the single-threaded layout, with
// more threads than parts and than blocks too.
TEST(PackedBatch, ThreadedNormalisationGivesTheSameValues) {
  std::mt19937 rng(32);
  const BatchRecipe recipes[] = {{1500, 400, true, 0.01, 0.3}, {3000, 300, false, 0.0, 0.0}};
  for (const BatchRecipe& recipe : recipes) {
    const EmbeddingBatch batch = random_batch(rng, recipe);
    ASSERT_TRUE(PackedBatch::fits(batch));
    const PackedBatch alone = PackedBatch::normalized(batch);
    for (unsigned threads : {2u, 3u, 7u, 1000u}) {
      const PackedBatch packed = PackedBatch::normalized(batch, threads);
      ASSERT_EQ(packed.padded_rows(), alone.padded_rows());
      ASSERT_EQ(packed.depth(), alone.depth());
      ASSERT_EQ(packed.padding_may_poison(), alone.padding_may_poison());
      std::size_t mismatches = 0;
      for (std::size_t i = 0; i < packed.padded_rows(); ++i) {
        for (std::size_t k = 0; k < packed.depth(); ++k) {
          if (bits(packed.value(i, k)) != bits(alone.value(i, k)) && mismatches++ < 5) {
            ADD_FAILURE() << recipe.rows << " rows, " << threads << " threads: row " << i
                          << ", element " << k;
          }
        }
      }
    }
  }
}
