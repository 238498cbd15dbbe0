// The pass that adds every similarity of a batch into exact sums.
//
// Exact sums do not care about order, so nothing here keeps one: the
// calling thread and the workers each claim the next panel, fill it, add it
// to sums of their own and claim again; the sums are merged when all panels
// are done. There is no hand-over of panels and no thread waits for another
// but at the end. Panels are claimed from the first, whose rows pair with
// the most columns, so the last claims are the smallest and the threads
// finish close together.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "buffer.hpp"
#include "float_environment.hpp"
#include "pair_similarities.hpp"
#include "pairs.hpp"
#include "process_change.hpp"

namespace metrics {

namespace {

// How long the calling thread, its own panels done, waits for the workers'
// last ones before it calls the monitor again.
constexpr std::chrono::milliseconds kWatchInterval{20};

void notify(const PassMonitor& monitor, std::uint64_t done, std::uint64_t total) {
  if (monitor.between_panels != nullptr) monitor.between_panels(monitor.context, done, total);
}

std::size_t panel_rows(std::size_t rows, std::size_t panel) {
  const std::size_t left = rows - panel * PairSimilarities::kPanelRows;
  return left < PairSimilarities::kPanelRows ? left : PairSimilarities::kPanelRows;
}

// Thrown inside a worker's panel fill once the reduction is stopping, so
// that a worker in the middle of a long panel gives up within one column
// range of it.
struct Stopped {};

// What the threads of one reduction share. It lives on the heap, so that in a
// forked child (process_change.hpp) it can be left as it is.
struct Reduction {
  struct Worker {
    Buffer<float> panel;
    SimilaritySums sums;
    std::thread thread;
  };

  explicit Reduction(std::size_t panel_count) : panels(panel_count) {}

  const std::size_t panels;
  std::atomic<std::size_t> next_panel{0};
  std::atomic<std::uint64_t> pairs_done{0};
  std::atomic<bool> stopping{false};

  std::mutex mutex;
  std::condition_variable finished;
  // Under `mutex`: workers still running, and the first failure of one.
  unsigned running = 0;
  std::exception_ptr failure;

  Buffer<std::unique_ptr<Worker>> workers;

  static void check_stop(void* context, std::uint64_t, std::uint64_t) {
    if (static_cast<Reduction*>(context)->stopping.load(std::memory_order_relaxed)) throw Stopped{};
  }

  // Stops the workers at their next column range and joins them.
  void stop_and_join() noexcept {
    stopping.store(true);
    for (auto& worker : workers) {
      if (worker->thread.joinable()) worker->thread.join();
    }
  }
};

}  // namespace

void PairSimilarities::add_panel(std::size_t first, std::size_t count, const float* panel,
                                 SimilaritySums& sums, PairRange range) const {
  const std::size_t stride = panel_stride();
  for (std::size_t r = 0; r < count && first + r < range.end_row; ++r) {
    const std::size_t i = first + r;
    const std::size_t j_begin = i + 1 > range.first_column ? i + 1 : range.first_column;
    if (j_begin < rows_) sums.add(panel + r * stride + j_begin, rows_ - j_begin);
  }
}

SimilaritySums PairSimilarities::serial_reduce(const PassMonitor& monitor, PairRange range) const {
  SimilaritySums sums(path_);
  const std::uint64_t total = range.pairs_before(rows_, range.end_row);
  Buffer<float> panel(kPanelRows * panel_stride());
  for (std::size_t first = 0; first < range.end_row && first + 1 < rows_; first += kPanelRows) {
    const std::size_t count = rows_ - first < kPanelRows ? rows_ - first : kPanelRows;
    fill_panel_watched(first, count, panel.data(), monitor,
                       range.pairs_before(rows_, first), range.first_column);
    add_panel(first, count, panel.data(), sums, range);
    notify(monitor, range.pairs_before(rows_, first + count), total);
  }
  return sums;
}

SimilaritySums PairSimilarities::exact_sums(const PassOptions& options) const {
  return reduce(options, {rows_, 0});
}

SimilaritySums PairSimilarities::exact_sums_between(std::size_t split, const PassOptions& options) const {
  if (split == 0 || split >= rows_) return SimilaritySums(path_);
  return reduce(options, {split, split});
}

SimilaritySums PairSimilarities::reduce(const PassOptions& options, PairRange range) const {
  if (rows_ < 2) return SimilaritySums(path_);
  const std::uint64_t total = range.pairs_before(rows_, range.end_row);
  const unsigned threads = total * work_per_pair_ < (std::uint64_t{1} << 24) ? 1u : threads_for(options.threads);
  if (threads <= 1) return serial_reduce(options.monitor, range);

  const std::size_t panel_floats = kPanelRows * panel_stride();
  const std::size_t last_row = range.end_row < rows_ - 1 ? range.end_row : rows_ - 1;
  auto reduction = std::make_unique<Reduction>((last_row + kPanelRows - 1) / kPanelRows);
  Reduction& shared = *reduction;

  const auto claim_and_sum = [this, &shared, total, range](float* panel, SimilaritySums& sums,
                                                          const PassMonitor& monitor) {
    for (;;) {
      if (shared.stopping.load(std::memory_order_relaxed)) return;
      const std::size_t claimed = shared.next_panel.fetch_add(1);
      if (claimed >= shared.panels) return;
      const std::size_t first = claimed * kPanelRows;
      const std::size_t count = panel_rows(rows_, claimed);
      fill_panel_watched(first, count, panel, monitor, shared.pairs_done.load(), range.first_column);
      add_panel(first, count, panel, sums, range);
      shared.pairs_done.fetch_add(range.pairs_before(rows_, first + count) -
                                  range.pairs_before(rows_, first));
      notify(monitor, shared.pairs_done.load(), total);
    }
  };

  // The calling thread's own panel first: it is needed whatever happens.
  Buffer<float> own_panel(panel_floats);
  // Each worker's panel and sums are allocated here, before it starts: when
  // memory (or a thread) cannot be had, the pass goes on with the workers it
  // has, at worst the calling thread alone, rather than fail.
  try {
    shared.workers.reserve(threads - 1);
  } catch (const AllocationFailure&) {
  }
  for (unsigned w = 0; w + 1 < threads && shared.workers.size() < shared.workers.capacity(); ++w) {
    try {
      auto worker = std::make_unique<Reduction::Worker>(
          Reduction::Worker{Buffer<float>(panel_floats), SimilaritySums(path_), std::thread()});
      Reduction::Worker& slot = *worker;
      shared.workers.push_back(std::move(worker));
      {
        std::lock_guard<std::mutex> lock(shared.mutex);
        ++shared.running;
      }
      try {
        slot.thread = std::thread([&shared, &slot, &claim_and_sum] {
          const DefaultFloatEnvironment float_environment;
          try {
            claim_and_sum(slot.panel.data(), slot.sums, {&Reduction::check_stop, &shared});
          } catch (const Stopped&) {
          } catch (...) {
            std::lock_guard<std::mutex> lock(shared.mutex);
            if (!shared.failure) shared.failure = std::current_exception();
            shared.stopping.store(true);
          }
          {
            std::lock_guard<std::mutex> lock(shared.mutex);
            --shared.running;
          }
          shared.finished.notify_all();
        });
      } catch (...) {
        std::lock_guard<std::mutex> lock(shared.mutex);
        --shared.running;
        throw;
      }
    } catch (const AllocationFailure&) {
      break;
    } catch (const std::bad_alloc&) {
      break;
    } catch (const std::system_error&) {
      break;
    }
  }

  ForkAwareMonitor watched(options.monitor);
  const PassMonitor monitor = watched.monitor();
  SimilaritySums sums(path_);
  try {
    claim_and_sum(own_panel.data(), sums, monitor);
    // The workers' last panels, with the monitor still called meanwhile.
    std::unique_lock<std::mutex> lock(shared.mutex);
    while (shared.running > 0) {
      if (shared.finished.wait_for(lock, kWatchInterval) == std::cv_status::timeout) {
        lock.unlock();
        notify(monitor, shared.pairs_done.load(), total);
        lock.lock();
      }
    }
  } catch (const ProcessForked&) {
    // A forked child: the workers are not here, and what they shared may be
    // frozen mid-change. Leave it untouched (and unfreed) and start over on
    // this thread alone.
    (void)reduction.release();
    return serial_reduce(options.monitor, range);
  } catch (...) {
    shared.stop_and_join();
    throw;
  }
  shared.stop_and_join();
  if (shared.failure) std::rethrow_exception(shared.failure);
  // The workers' last panels ended after the caller's last report. (No
  // fork can strand anything here: every worker is joined.)
  notify(options.monitor, total, total);
  for (const auto& worker : shared.workers) sums.merge(worker->sums);
  return sums;
}

}  // namespace metrics
