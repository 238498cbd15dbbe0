// All four measures of a batch from one pass: each must carry exactly the
// bits of its own kernel, a failing batch must fail as coverage does, and the
// pass must report its progress and stop when the monitor throws.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "failure_message.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_measures.hpp"
#include "random_batches.hpp"

using metrics::EmbeddingBatch;
using test_batches::BatchRecipe;
using test_batches::random_batch;

TEST(BatchMeasures, EachMeasureHasTheBitsOfItsOwnKernel) {
  std::mt19937 rng(16);
  for (std::size_t n : {0, 1, 2, 3, 65, 130}) {
    for (std::size_t d : {1, 9, 96}) {
      for (const BatchRecipe& recipe :
           {BatchRecipe{n, d, false, 0.0, 0.2}, BatchRecipe{n, d, false, 0.0, 0.0, false, 2.0f},
            BatchRecipe{n, d, true, 2.0 / (n * d + 1), 0.2, true}, BatchRecipe{n, d, false, 0.02, 0.0}}) {
        const EmbeddingBatch batch = random_batch(rng, recipe);
        const metrics::BatchMeasures all = metrics::compute_batch_measures(batch);
        SCOPED_TRACE(std::to_string(n) + " x " + std::to_string(d));
        EXPECT_EQ(bits(all.isotropy), bits(metrics::compute_isotropy(batch)));
        EXPECT_EQ(bits(all.coverage), bits(metrics::compute_coverage(batch)));
        EXPECT_EQ(bits(all.distinctiveness), bits(metrics::compute_distinctiveness(batch)));
        EXPECT_EQ(bits(all.quality_score), bits(metrics::compute_quality_score(batch)));
      }
    }
  }
}

TEST(BatchMeasures, ARowLongerThanRowZeroFailsAsCoverageDoes) {
  const EmbeddingBatch bad = EmbeddingBatch::from_rows({{1, 2}, {3, 4}, {5, 6, 7}});
  EXPECT_EQ(failure_message([&] { metrics::compute_batch_measures(bad); }),
            "index out of bounds: the len is 2 but the index is 2");
}

namespace {

struct Seen {
  std::vector<std::uint64_t> done;
  std::uint64_t total = 0;
  std::size_t stop_after = 0;  // 0: never
};

void record(void* context, std::uint64_t done, std::uint64_t total) {
  Seen& seen = *static_cast<Seen*>(context);
  seen.done.push_back(done);
  seen.total = total;
  if (seen.stop_after != 0 && seen.done.size() == seen.stop_after) throw std::runtime_error("stop");
}

}  // namespace

TEST(BatchMeasures, TheMonitorSeesGrowingCountsAndDoesNotChangeTheBits) {
  std::mt19937 rng(17);
  const EmbeddingBatch batch = random_batch(rng, BatchRecipe{300, 20});
  Seen seen;
  metrics::PassOptions options;
  options.monitor = {&record, &seen};
  const metrics::BatchMeasures watched = metrics::compute_batch_measures(batch, options);
  const metrics::BatchMeasures plain = metrics::compute_batch_measures(batch);
  EXPECT_EQ(bits(watched.quality_score), bits(plain.quality_score));
  EXPECT_EQ(bits(watched.isotropy), bits(plain.isotropy));
  EXPECT_EQ(bits(watched.distinctiveness), bits(plain.distinctiveness));
  // 300 rows are five panels of 64: the monitor hears after each.
  ASSERT_EQ(seen.done.size(), 5u);
  EXPECT_EQ(seen.total, 300u * 299u / 2u);
  for (std::size_t t = 1; t < seen.done.size(); ++t) EXPECT_LT(seen.done[t - 1], seen.done[t]);
  EXPECT_EQ(seen.done.back(), seen.total);
}

TEST(BatchMeasures, TwoPassesOverThePairsReportOneSteadyTotal) {
  // With no room for the similarity list, distinctiveness passes over the
  // pairs twice: progress counts both against twice the pairs, however
  // often each pass calls its monitor with the same count (a waiting
  // thread does, with threads).
  std::mt19937 rng(19);
  const EmbeddingBatch batch = random_batch(rng, BatchRecipe{700, 24});
  const std::uint64_t pairs = 700u * 699u / 2u;
  for (unsigned threads : {1u, 3u}) {
    Seen seen;
    metrics::PassOptions options;
    options.threads = threads;
    options.monitor = {&record, &seen};
    const metrics::PairMeasures watched =
        metrics::pair_measures_on_path(batch, metrics::fastest_kernel_path(), options, 0);
    EXPECT_EQ(seen.total, 2 * pairs);
    for (std::size_t t = 1; t < seen.done.size(); ++t) EXPECT_LE(seen.done[t - 1], seen.done[t]) << t;
    EXPECT_EQ(seen.done.back(), 2 * pairs);
    // Half way only once the first pass is done: no count of the first
    // pass reaches past its own pairs.
    const std::size_t first_pass_reports =
        static_cast<std::size_t>(std::count_if(seen.done.begin(), seen.done.end(),
                                               [&](std::uint64_t done) { return done <= pairs; }));
    EXPECT_GE(first_pass_reports, 11u);  // eleven panels of 64 rows
    EXPECT_EQ(bits(watched.distinctiveness), bits(metrics::compute_distinctiveness(batch)));
  }
}

TEST(BatchMeasures, AThrowingMonitorEndsThePass) {
  std::mt19937 rng(18);
  const EmbeddingBatch batch = random_batch(rng, BatchRecipe{400, 8});
  Seen seen;
  seen.stop_after = 2;
  metrics::PassOptions options;
  options.monitor = {&record, &seen};
  EXPECT_THROW(metrics::compute_batch_measures(batch, options), std::runtime_error);
  EXPECT_EQ(seen.done.size(), 2u);
}

TEST(NonFiniteRows, CountsRowsHoldingNaNOrInfinity) {
  const EmbeddingBatch batch = EmbeddingBatch::from_rows(
      {{1, 2}, {kNaN, 0}, {}, {3, kInf}, {-kInf, kNaN}, {1e38f, -1e38f}});
  const metrics::NonFiniteRows found = metrics::find_non_finite_rows(batch);
  EXPECT_EQ(found.count, 3u);
  EXPECT_EQ(found.first, 1u);
  const metrics::NonFiniteRows none = metrics::find_non_finite_rows(EmbeddingBatch::from_rows({{1}, {2}}));
  EXPECT_EQ(none.count, 0u);
  EXPECT_EQ(none.first, 2u);
}
