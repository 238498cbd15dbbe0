// Every pair-kernel path this processor can run, against the scalar
// reference, bit for bit.
#include <gtest/gtest.h>

#include "float_bits.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "pair_kernel/kernel_path.hpp"
#include "metrics.hpp"
#include "pair_kernel/packed_batch.hpp"
#include "pair_measures.hpp"
#include "pair_kernel/pair_similarities.hpp"
#include "pairs.hpp"
#include "random_batches.hpp"
#include "reference.hpp"

using metrics::EmbeddingBatch;
using metrics::KernelPath;
using test_batches::BatchRecipe;
using test_batches::random_batch;
using test_batches::same_float;

namespace {

std::string describe(const BatchRecipe& recipe) {
  return std::to_string(recipe.rows) + " x " + std::to_string(recipe.dimension) +
         (recipe.ragged ? " ragged" : "") + " special " + std::to_string(recipe.special_rate) +
         " rows " + std::to_string(recipe.special_row_rate) + " mean " +
         std::to_string(recipe.mean);
}

// The shapes straddle the tile (4 rows, 64 columns), the panel (64 rows)
// and the dimension range (1024) on either side.
std::vector<BatchRecipe> recipes() {
  std::vector<BatchRecipe> out;
  const std::size_t rows[] = {2, 3, 5, 17, 63, 64, 65, 130};
  const std::size_t dimensions[] = {1, 3, 16, 17, 255, 256, 257, 300, 1023, 1024, 1025};
  for (std::size_t n : rows) {
    for (std::size_t d : dimensions) {
      if (n * n * d > 130 * 130 * 60) continue;  // keep the reference quick
      // A few special values per batch, so that most similarities stay
      // finite; and a dense sprinkling, where NaN takes over.
      const double few = 3.0 / static_cast<double>(n * d);
      out.push_back({n, d, false, 0.0, 0.0});
      out.push_back({n, d, false, 0.0, 0.0, false, 2.0f});
      out.push_back({n, d, true, 0.0, 0.2});
      out.push_back({n, d, true, few, 0.0, false, 2.0f});
      out.push_back({n, d, false, few, 0.2});
      out.push_back({n, d, true, few, 0.2});
      out.push_back({n, d, true, 0.02, 0.0});
    }
  }
  out.push_back({200, 70, false, 0.0, 0.1});
  out.push_back({200, 70, false, 0.0, 0.0, false, 2.0f});
  out.push_back({257, 40, true, 0.001, 0.1});
  out.push_back({150, 600, false, 0.0, 0.0});
  return out;
}

// Every similarity the source hands out, checked against the scalar dot
// product of the normalised rows, and the order it hands them out in.
void expect_similarities_match(const EmbeddingBatch& batch, KernelPath path,
                               const std::string& what) {
  const EmbeddingBatch normalised = metrics::normalize_embeddings(batch);
  const metrics::PairSimilarities similarities(batch, path);
  std::size_t expected_row = 0;
  std::size_t mismatches = 0;
  similarities.for_each_row([&](std::size_t i, const float* values, std::size_t count) {
    ASSERT_EQ(i, expected_row) << what;
    ASSERT_EQ(count, batch.rows() - 1 - i) << what;
    ++expected_row;
    for (std::size_t t = 0; t < count; ++t) {
      const float expected = metrics::dot_product(normalised.row(i), normalised.row(i + 1 + t));
      if (!same_float(values[t], expected) && mismatches++ < 5) {
        ADD_FAILURE() << what << ": pair (" << i << ", " << i + 1 + t << ") gave " << values[t]
                      << ", the dot product " << expected;
      }
    }
  });
  EXPECT_EQ(expected_row, batch.rows() < 2 ? 0 : batch.rows() - 1) << what;
}

void expect_measures_match(const EmbeddingBatch& batch, KernelPath path, const std::string& what) {
  const float isotropy = metrics::reference::isotropy_reference(batch);
  const float distinctiveness = metrics::reference::distinctiveness_reference(batch);
  const std::size_t list_bytes = metrics::pair_count(batch.rows()) * sizeof(float);

  EXPECT_EQ(bits(metrics::isotropy_on_path(batch, path)), bits(isotropy)) << what;
  // The list kept (exactly at the budget, and with the default budget) and
  // recomputed (one byte short, and no budget at all).
  for (std::size_t budget : {metrics::kSimilarityListBudget, list_bytes, list_bytes - 1,
                             std::size_t{0}}) {
    EXPECT_EQ(bits(metrics::distinctiveness_on_path(batch, path, budget)), bits(distinctiveness))
        << what << ", budget " << budget;
    const metrics::PairMeasures both = metrics::pair_measures_on_path(batch, path, budget);
    EXPECT_EQ(bits(both.isotropy), bits(isotropy)) << what << ", budget " << budget;
    EXPECT_EQ(bits(both.distinctiveness), bits(distinctiveness)) << what << ", budget " << budget;
  }
}

class PairKernelPath : public testing::TestWithParam<KernelPath> {};

}  // namespace

TEST_P(PairKernelPath, SimilaritiesMatchScalarDotProductsInPairOrder) {
  std::mt19937 rng(20240611);
  for (const BatchRecipe& recipe : recipes()) {
    expect_similarities_match(random_batch(rng, recipe), GetParam(), describe(recipe));
  }
}

TEST_P(PairKernelPath, MeasuresMatchReferenceOnRandomBatches) {
  std::mt19937 rng(7);
  for (const BatchRecipe& recipe : recipes()) {
    expect_measures_match(random_batch(rng, recipe), GetParam(), describe(recipe));
  }
}

TEST_P(PairKernelPath, DegenerateBatches) {
  const KernelPath path = GetParam();
  const EmbeddingBatch batches[] = {
      EmbeddingBatch{},
      EmbeddingBatch::from_rows({{3, 4}}),
      EmbeddingBatch::from_rows({{}, {1, 2}}),
      EmbeddingBatch::from_rows({{}, {}, {}}),
      EmbeddingBatch::from_rows({{1, 2}, {}}),
      EmbeddingBatch::from_rows({{1, 0}, {0, 1}}),
      EmbeddingBatch::from_rows({{1, 2}, {1, 2}}),
      EmbeddingBatch::from_rows({{1, 4}, {1, 4}}),
      EmbeddingBatch::from_rows({{1}, {2, 3}}),
      EmbeddingBatch::from_rows({{0, 0}, {0, 0}}),
  };
  for (const EmbeddingBatch& batch : batches) {
    expect_similarities_match(batch, path, "small batch of " + std::to_string(batch.rows()));
    expect_measures_match(batch, path, "small batch of " + std::to_string(batch.rows()));
  }
}

TEST_P(PairKernelPath, OverflowingAndUnderflowingSquares) {
  // Squares of 1e20 overflow (the row becomes zeros), squares of 1e-30
  // underflow (the row is kept as it is, and its products underflow too).
  const EmbeddingBatch batch = EmbeddingBatch::from_rows({
      {1e20f, 1e20f, -1e20f}, {1e-30f, 2e-30f, -1e-30f}, {1, 2, 3}, {1e19f, 1, 1},
      {1e-30f, 1, 1e-20f}, {3e18f, -3e18f, 1e18f}, {-1e-30f, -1e-30f, -1e-30f}});
  expect_similarities_match(batch, GetParam(), "extreme magnitudes");
  expect_measures_match(batch, GetParam(), "extreme magnitudes");
}

TEST_P(PairKernelPath, PaddingThatMeetsNonFiniteValuesIsNotSummed) {
  // Row 1 normalises to [0, NaN] (inf / inf). Over the shorter length 1 the
  // pair's similarity is 1 * 0 = 0; a padded zero times that NaN would make
  // it NaN, and the isotropy 0 instead of 1.
  const EmbeddingBatch batch = EmbeddingBatch::from_rows({{1}, {1, kInf}});
  EXPECT_EQ(bits(metrics::isotropy_on_path(batch, GetParam())), bits(1.0f));
  EXPECT_EQ(bits(metrics::distinctiveness_on_path(batch, GetParam())), bits(1.0f));

  // The same with NaN rows, empty rows and rows longer than row 0, the
  // poison on either side of the pair.
  const EmbeddingBatch mixed = EmbeddingBatch::from_rows({
      {1, 2}, {3, kInf, 4}, {kNaN}, {}, {5, 6, 7, kNaN}, {2}, {1, 1, 1, 1, 1}, {-kInf, 0}, {0.5f}});
  expect_similarities_match(mixed, GetParam(), "ragged non-finite");
  expect_measures_match(mixed, GetParam(), "ragged non-finite");
}

TEST_P(PairKernelPath, BatchTooRaggedToPadUsesThePlainCopy) {
  // One very long row among many short ones: padding every row to its
  // length would multiply the batch's size.
  std::mt19937 rng(99);
  std::normal_distribution<float> value(0.0f, 1.0f);
  EmbeddingBatch batch;
  for (std::size_t i = 0; i < 70; ++i) {
    batch.start_row();
    const std::size_t length = i == 3 ? 5000 : 1 + i % 3;
    for (std::size_t k = 0; k < length; ++k) batch.push(i == 10 && k == 0 ? kInf : value(rng));
  }
  ASSERT_FALSE(metrics::PackedBatch::fits(batch));
  expect_similarities_match(batch, GetParam(), "too ragged to pad");
  expect_measures_match(batch, GetParam(), "too ragged to pad");
}

TEST_P(PairKernelPath, PanelsFilledInColumnRangesKeepTheirBits) {
  // A watched pass fills a large panel in column ranges; a tile may also
  // leave out columns nobody reads. Each panel, filled at once and in ranges
  // of one to several tiles (some starting past the panel's own rows), must
  // agree on every pair (i, j) with i < j < n, in every panel of a batch
  // whose last tile is mostly padding.
  std::mt19937 rng(31);
  const EmbeddingBatch batch = random_batch(rng, {300, 40, true, 0.0, 0.0});
  const metrics::PairSimilarities similarities(batch, GetParam());
  const std::size_t stride = similarities.panel_stride();
  const std::size_t rows = metrics::PairSimilarities::kPanelRows;
  std::vector<float> whole(rows * stride), ranged(rows * stride);
  for (std::size_t first = 0; first + 1 < batch.rows(); first += rows) {
    const std::size_t count = std::min(rows, batch.rows() - first);
    similarities.fill_panel(first, count, whole.data(), stride);
    for (std::size_t begin = 0, width = 64; begin < stride; begin += width, width += 64) {
      similarities.fill_panel_columns(first, count, ranged.data(), stride, begin,
                                      std::min(stride, begin + width));
    }
    for (std::size_t r = 0; r < count; ++r) {
      for (std::size_t j = first + r + 1; j < batch.rows(); ++j) {
        ASSERT_TRUE(same_float(whole[r * stride + j], ranged[r * stride + j]))
            << "pair (" << first + r << ", " << j << ")";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SupportedPaths, PairKernelPath,
                         testing::ValuesIn(metrics::supported_kernel_paths()),
                         [](const testing::TestParamInfo<KernelPath>& info) {
                           return std::string(metrics::kernel_path_name(info.param));
                         });
