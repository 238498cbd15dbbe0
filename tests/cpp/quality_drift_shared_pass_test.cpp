// The quality score and drift take isotropy and distinctiveness from one
// shared pass over the pairs; the results must be those of the separate
// reference measures, and failures those of coverage, in the same order.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "failure_message.hpp"
#include "drift.hpp"
#include "metrics.hpp"
#include "quality_score.hpp"
#include "random_batches.hpp"
#include "reference.hpp"

using metrics::EmbeddingBatch;
using test_batches::BatchRecipe;
using test_batches::random_batch;

namespace {

float reference_quality(const EmbeddingBatch& batch) {
  if (batch.empty()) return 0.0f;
  return metrics::combine_quality(metrics::reference::isotropy_reference(batch),
                                  metrics::compute_coverage(batch),
                                  metrics::reference::distinctiveness_reference(batch));
}

float reference_drift(const EmbeddingBatch& baseline, const EmbeddingBatch& current) {
  if (baseline.empty() || current.empty()) return 0.0f;
  return metrics::relative_drift(
      metrics::reference::isotropy_reference(baseline), metrics::compute_coverage(baseline),
      metrics::reference::distinctiveness_reference(baseline),
      metrics::reference::isotropy_reference(current), metrics::compute_coverage(current),
      metrics::reference::distinctiveness_reference(current));
}

std::vector<BatchRecipe> recipes() {
  std::vector<BatchRecipe> out;
  for (std::size_t n : {0, 1, 2, 3, 20, 66, 131}) {
    for (std::size_t d : {1, 7, 40, 270}) {
      out.push_back({n, d, false, 0.0, 0.2});
      out.push_back({n, d, false, 0.0, 0.0, false, 2.0f});
      out.push_back({n, d, true, 2.0 / (n * d + 1), 0.2, true});
      out.push_back({n, d, false, 0.01, 0.0});
    }
  }
  return out;
}


}  // namespace

TEST(SharedPass, QualityScoreMatchesTheSeparateReferenceMeasures) {
  std::mt19937 rng(5);
  for (const BatchRecipe& recipe : recipes()) {
    const EmbeddingBatch batch = random_batch(rng, recipe);
    EXPECT_EQ(bits(metrics::compute_quality_score(batch)), bits(reference_quality(batch)))
        << recipe.rows << " x " << recipe.dimension;
  }
}

TEST(SharedPass, DriftMatchesTheSeparateReferenceMeasures) {
  std::mt19937 rng(6);
  const std::vector<BatchRecipe> all = recipes();
  for (std::size_t t = 0; t < all.size(); ++t) {
    const EmbeddingBatch baseline = random_batch(rng, all[t]);
    const EmbeddingBatch current = random_batch(rng, all[(t * 7 + 3) % all.size()]);
    EXPECT_EQ(bits(metrics::detect_drift(baseline, current)), bits(reference_drift(baseline, current)))
        << all[t].rows << " x " << all[t].dimension;
  }
}

TEST(SharedPass, FailuresComeFromCoverageBaselineFirst) {
  // Each message names the length of the failing batch's row 0.
  const EmbeddingBatch bad_baseline = EmbeddingBatch::from_rows({{1}, {2, 3}});
  const EmbeddingBatch bad_current = EmbeddingBatch::from_rows({{1, 2}, {3, 4}, {5, 6, 7}});
  const EmbeddingBatch good = EmbeddingBatch::from_rows({{1, 0}, {0, 1}});
  const std::string baseline_message = "index out of bounds: the len is 1 but the index is 1";
  const std::string current_message = "index out of bounds: the len is 2 but the index is 2";

  EXPECT_EQ(failure_message([&] { metrics::compute_quality_score(bad_current); }), current_message);
  // The baseline's measures come first, so its failure wins.
  EXPECT_EQ(failure_message([&] { metrics::detect_drift(bad_baseline, bad_current); }),
            baseline_message);
  EXPECT_EQ(failure_message([&] { metrics::detect_drift(good, bad_current); }), current_message);
  EXPECT_EQ(failure_message([&] { metrics::detect_drift(bad_current, good); }), current_message);
}
