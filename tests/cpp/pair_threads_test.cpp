// Passes over the pairs with worker threads: the same similarities in the
// same order, the same bits for every measure, the monitor on the calling
// thread, and failures (the monitor's, a worker's) reaching the caller with
// every thread joined.
#include <gtest/gtest.h>

#include "float_bits.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "failure.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "metrics.hpp"
#include "pair_measures.hpp"
#include "pair_kernel/pair_similarities.hpp"
#include "pairs.hpp"
#include "random_batches.hpp"

using metrics::EmbeddingBatch;
using metrics::KernelPath;
using metrics::PassOptions;
using test_batches::BatchRecipe;
using test_batches::random_batch;
using test_batches::same_float;

// --- allocation failures on demand -----------------------------------------
//
// The system's buffers come from the aligned, non-throwing operator new.
// This replacement grants `granted_requests` more requests of exactly
// `fail_bytes`, then fails them.
namespace {
std::atomic<std::size_t> fail_bytes{0};
std::atomic<long> granted_requests{0};
}  // namespace

void* operator new(std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  if (bytes != 0 && bytes == fail_bytes.load() && granted_requests.fetch_sub(1) <= 0) return nullptr;
  const std::size_t align = static_cast<std::size_t>(alignment);
  const std::size_t rounded = (bytes + align - 1) / align * align;
  return std::aligned_alloc(align, rounded == 0 ? align : rounded);
}
void operator delete(void* pointer, std::align_val_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(pointer);
}

namespace {

constexpr unsigned kThreadCounts[] = {2, 3, 7};

// Large enough that a pass engages seven threads: eight panels, and more
// multiply-adds than the threading minimum.
std::vector<BatchRecipe> recipes() {
  return {
      {520, 160, false, 0.0, 0.0, false, 2.0f},  // plain, unclamped measures
      {520, 160, true, 0.0, 0.1},                // ragged, special rows
      {520, 160, true, 0.0005, 0.05},            // ragged with NaN and infinities
      {520, 160, false, 0.0005, 0.0},            // rectangular with NaN and infinities
  };
}

std::string describe(const BatchRecipe& recipe, KernelPath path) {
  return std::to_string(recipe.rows) + " x " + std::to_string(recipe.dimension) +
         (recipe.ragged ? " ragged" : "") + " special " + std::to_string(recipe.special_rate) +
         " on " + metrics::kernel_path_name(path);
}

PassOptions with_threads(unsigned threads) {
  PassOptions options;
  options.threads = threads;
  return options;
}

// Every similarity, in the order handed out.
std::vector<float> all_similarities(const metrics::PairSimilarities& similarities,
                                    const PassOptions& options) {
  std::vector<float> out;
  std::size_t expected_row = 0;
  similarities.for_each_row([&](std::size_t i, const float* values, std::size_t count) {
    EXPECT_EQ(i, expected_row);
    ++expected_row;
    out.insert(out.end(), values, values + count);
  }, options);
  return out;
}

class PairThreads : public testing::TestWithParam<KernelPath> {};

}  // namespace

TEST_P(PairThreads, SameSimilaritiesInTheSameOrderForEveryThreadCount) {
  std::mt19937 rng(515);
  for (const BatchRecipe& recipe : recipes()) {
    const EmbeddingBatch batch = random_batch(rng, recipe);
    const metrics::PairSimilarities similarities(batch, GetParam());
    const std::string what = describe(recipe, GetParam());
    ASSERT_EQ(similarities.threads_for(7), 7u) << what;
    const std::vector<float> single = all_similarities(similarities, with_threads(1));
    ASSERT_EQ(single.size(), metrics::pair_count(batch.rows())) << what;
    for (unsigned threads : kThreadCounts) {
      const std::vector<float> threaded = all_similarities(similarities, with_threads(threads));
      ASSERT_EQ(threaded.size(), single.size()) << what;
      std::size_t mismatches = 0;
      for (std::size_t t = 0; t < single.size(); ++t) {
        if (!same_float(threaded[t], single[t]) && mismatches++ < 3) {
          ADD_FAILURE() << what << ", " << threads << " threads: pair " << t;
        }
      }
    }
  }
}

TEST_P(PairThreads, MeasuresKeepTheirBitsForEveryThreadCount) {
  std::mt19937 rng(99);
  for (const BatchRecipe& recipe : recipes()) {
    const EmbeddingBatch batch = random_batch(rng, recipe);
    const KernelPath path = GetParam();
    const std::string what = describe(recipe, path);
    const float isotropy = metrics::isotropy_on_path(batch, path);
    const float distinctiveness = metrics::distinctiveness_on_path(batch, path);
    for (unsigned threads : kThreadCounts) {
      const PassOptions options = with_threads(threads);
      EXPECT_EQ(bits(metrics::isotropy_on_path(batch, path, options)), bits(isotropy)) << what;
      // The similarity list kept, and recomputed in a second threaded pass.
      for (std::size_t budget : {metrics::kSimilarityListBudget, std::size_t{0}}) {
        EXPECT_EQ(bits(metrics::distinctiveness_on_path(batch, path, options, budget)),
                  bits(distinctiveness))
            << what << ", " << threads << " threads, budget " << budget;
        const metrics::PairMeasures both = metrics::pair_measures_on_path(batch, path, options, budget);
        EXPECT_EQ(bits(both.isotropy), bits(isotropy)) << what;
        EXPECT_EQ(bits(both.distinctiveness), bits(distinctiveness)) << what;
      }
    }
  }
}

TEST_P(PairThreads, TooRaggedToPadThreadsThePlainCopyToo) {
  // One long row among many short ones takes the plain normalised copy.
  std::mt19937 rng(3);
  std::normal_distribution<float> value(0.0f, 1.0f);
  EmbeddingBatch batch;
  for (std::size_t i = 0; i < 1200; ++i) {
    batch.start_row();
    const std::size_t length = i == 5 ? 400000 : 20 + i % 7;
    for (std::size_t k = 0; k < length; ++k) batch.push(value(rng));
  }
  const metrics::PairSimilarities similarities(batch, GetParam());
  const std::vector<float> single = all_similarities(similarities, with_threads(1));
  for (unsigned threads : kThreadCounts) {
    const std::vector<float> threaded = all_similarities(similarities, with_threads(threads));
    ASSERT_EQ(threaded.size(), single.size());
    for (std::size_t t = 0; t < single.size(); ++t) ASSERT_TRUE(same_float(threaded[t], single[t])) << t;
  }
}

TEST(PairThreadsEngagement, SmallPassesStayOnTheCallingThread) {
  std::mt19937 rng(1);
  const EmbeddingBatch small = random_batch(rng, {100, 64, false, 0.0, 0.0});
  EXPECT_EQ(metrics::PairSimilarities(small, KernelPath::portable).threads_for(8), 1u);
  // Never more threads than panels.
  const EmbeddingBatch narrow = random_batch(rng, {130, 4000, false, 0.0, 0.0});
  EXPECT_EQ(metrics::PairSimilarities(narrow, KernelPath::portable).threads_for(8), 3u);
  EXPECT_EQ(metrics::PairSimilarities(narrow, KernelPath::portable).threads_for(1), 1u);
}

namespace {

struct MonitorLog {
  std::thread::id caller = std::this_thread::get_id();
  std::uint64_t last_done = 0;
  std::uint64_t total = 0;
  std::size_t calls = 0;
  std::size_t stop_after = SIZE_MAX;
  bool wrong_thread = false;
  bool went_back = false;
};

void record(void* context, std::uint64_t done, std::uint64_t total) {
  MonitorLog& log = *static_cast<MonitorLog*>(context);
  log.wrong_thread = log.wrong_thread || std::this_thread::get_id() != log.caller;
  log.went_back = log.went_back || done < log.last_done || done > total;
  log.last_done = done;
  log.total = total;
  if (++log.calls >= log.stop_after) throw std::runtime_error("stop");
}

PassOptions monitored(unsigned threads, MonitorLog& log) {
  PassOptions options = with_threads(threads);
  options.monitor.between_panels = record;
  options.monitor.context = &log;
  return options;
}

}  // namespace

TEST(PairThreadsMonitor, CalledOnTheCallingThreadWithGrowingCounts) {
  std::mt19937 rng(8);
  const EmbeddingBatch batch = random_batch(rng, {520, 160, false, 0.0, 0.0});
  const metrics::PairSimilarities similarities(batch, metrics::fastest_kernel_path());
  for (unsigned threads : {1u, 2u, 3u}) {
    MonitorLog log;
    std::size_t rows_seen = 0;
    similarities.for_each_row([&](std::size_t, const float*, std::size_t) { ++rows_seen; },
                              monitored(threads, log));
    EXPECT_EQ(rows_seen, batch.rows() - 1);
    EXPECT_FALSE(log.wrong_thread) << threads;
    EXPECT_FALSE(log.went_back) << threads;
    EXPECT_GE(log.calls, similarities.panel_count()) << threads;
    EXPECT_EQ(log.last_done, metrics::pair_count(batch.rows())) << threads;
    EXPECT_EQ(log.total, metrics::pair_count(batch.rows())) << threads;
  }
}

TEST(PairThreadsMonitor, AThrowingMonitorStopsThePass) {
  std::mt19937 rng(9);
  const EmbeddingBatch batch = random_batch(rng, {520, 160, false, 0.0, 0.0});
  const metrics::PairSimilarities similarities(batch, metrics::fastest_kernel_path());
  for (unsigned threads : {1u, 2u, 7u}) {
    MonitorLog log;
    log.stop_after = 2;
    std::size_t rows_seen = 0;
    EXPECT_THROW(similarities.for_each_row(
                     [&](std::size_t, const float*, std::size_t) { ++rows_seen; },
                     monitored(threads, log)),
                 std::runtime_error);
    // Two panels at most were handed out before the monitor stopped it.
    EXPECT_LE(rows_seen, 2 * metrics::PairSimilarities::kPanelRows) << threads;
    EXPECT_LT(rows_seen, batch.rows() - 1) << threads;
  }
  // The measures let it through, too.
  MonitorLog log;
  log.stop_after = 1;
  EXPECT_THROW(metrics::compute_quality_score(batch, monitored(2, log)), std::runtime_error);
}

TEST(PairThreadsFailure, WorkersWhosePanelsCannotBeHadAreNotStarted) {
  // Under a tight memory limit, threads must never turn a call that one
  // thread completes into a failure: a worker is started only once its
  // buffers are had, and the pass goes on with the threads it has.
  std::mt19937 rng(10);
  const EmbeddingBatch batch = random_batch(rng, {520, 160, false, 0.0, 0.0});
  const KernelPath path = metrics::fastest_kernel_path();
  const metrics::PairSimilarities similarities(batch, path);
  const std::size_t panel_bytes =
      metrics::PairSimilarities::kPanelRows * similarities.panel_stride() * sizeof(float);
  const float alone = metrics::isotropy_on_path(batch, path);
  const metrics::SimilaritySums exact_alone = similarities.exact_sums();
  for (long granted : {1L, 2L, 4L}) {
    fail_bytes.store(panel_bytes);
    granted_requests.store(granted);
    const float threaded = metrics::isotropy_on_path(batch, path, with_threads(3));
    granted_requests.store(granted);
    const metrics::SimilaritySums exact = similarities.exact_sums(with_threads(3));
    fail_bytes.store(0);
    EXPECT_EQ(bits(threaded), bits(alone)) << granted;
    EXPECT_TRUE(exact == exact_alone) << granted;
  }
  // With no panel to be had at all the call fails as one thread does.
  fail_bytes.store(panel_bytes);
  granted_requests.store(0);
  EXPECT_THROW(metrics::isotropy_on_path(batch, path, with_threads(2)), metrics::AllocationFailure);
  fail_bytes.store(0);
}

INSTANTIATE_TEST_SUITE_P(SupportedPaths, PairThreads,
                         testing::ValuesIn(metrics::supported_kernel_paths()),
                         [](const testing::TestParamInfo<KernelPath>& info) {
                           return std::string(metrics::kernel_path_name(info.param));
                         });
