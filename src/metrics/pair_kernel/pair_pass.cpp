// The pass over the panels of pair similarities: on the calling thread
// alone, or with worker threads that fill panels ahead of it.
//
// Only the calling thread hands similarities to the visitor, one panel after
// the other in pair order, so every running sum built from them sees exactly
// the sequence it sees single-threaded; a panel's bits do not depend on the
// thread that filled it. Workers never call the visitor or the monitor: they
// touch nothing but the packed batch (read-only) and panel buffers.
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "buffer.hpp"
#include "float_environment.hpp"
#include "pair_similarities.hpp"
#include "pairs.hpp"
#include "process_change.hpp"

namespace metrics {

namespace {

// A pass below this many multiply-adds stays on the calling thread:
// starting and joining a thread costs tens of microseconds, and a small pass
// is over before a worker could help.
constexpr std::uint64_t kThreadedWorkMinimum = std::uint64_t{1} << 24;

// Multiply-adds the calling thread does at most between two calls of the
// monitor: about 10 ms on the AVX2 path of a current core, a few tens of
// milliseconds on the portable one.
constexpr std::uint64_t kWatchedWork = std::uint64_t{1} << 28;

// How long the calling thread waits for a worker's panel before it calls the
// monitor anyway.
constexpr std::chrono::milliseconds kWatchInterval{20};

// Panel buffers per worker: one being filled and two waiting for the caller.
// The caller fills a panel itself whenever the one it needs next is not
// ready; with a single waiting buffer a worker that finishes during such a
// fill has nowhere to put its next panel and idles until the caller is back.
constexpr std::size_t kSlotsPerWorker = 3;

void notify(const PassMonitor& monitor, std::uint64_t done, std::uint64_t total) {
  if (monitor.between_panels != nullptr) monitor.between_panels(monitor.context, done, total);
}

}  // namespace

unsigned PairSimilarities::threads_for(unsigned requested) const noexcept {
  if (requested <= 1 || rows_ < 2) return 1;
  const std::uint64_t work = pair_count(rows_) * std::uint64_t{work_per_pair_};
  if (work < kThreadedWorkMinimum) return 1;
  const std::size_t panels = panel_count();
  return requested < panels ? requested : static_cast<unsigned>(panels);
}

void PairSimilarities::run_pass(PanelConsumer consumer, const PassOptions& options) const {
  const unsigned threads = threads_for(options.threads);
  if (threads <= 1) {
    run_serial_pass(consumer, options.monitor);
  } else {
    run_threaded_pass(consumer, options.monitor, threads);
  }
}

void PairSimilarities::fill_panel_watched(std::size_t first, std::size_t count, float* out,
                                          const PassMonitor& monitor, std::uint64_t pairs_done,
                                          std::size_t first_column) const {
  const std::size_t stride = panel_stride();
  const std::size_t column_begin = (first > first_column ? first : first_column) / kTileColumns * kTileColumns;
  if (monitor.between_panels == nullptr) {
    fill_panel_columns(first, count, out, stride, column_begin, stride);
    return;
  }
  // Column ranges of whole tiles, each at most kWatchedWork multiply-adds.
  const std::uint64_t per_column = std::uint64_t{count} * work_per_pair_;
  std::uint64_t columns = kWatchedWork / (per_column == 0 ? 1 : per_column);
  columns = columns / kTileColumns * kTileColumns;
  if (columns < kTileColumns) columns = kTileColumns;
  const std::uint64_t total = pair_count(rows_);
  std::size_t begin = column_begin;
  while (begin < stride) {
    const std::size_t end = stride - begin <= columns ? stride : begin + columns;
    fill_panel_columns(first, count, out, stride, begin, end);
    begin = end;
    if (begin < stride) notify(monitor, pairs_done, total);
  }
}

void PairSimilarities::run_serial_pass(PanelConsumer consumer, const PassMonitor& monitor,
                                       std::size_t first_panel) const {
  const std::size_t stride = panel_stride();
  const std::uint64_t total = pair_count(rows_);
  Buffer<float> panel(kPanelRows * stride);
  for (std::size_t first = first_panel * kPanelRows; first + 1 < rows_; first += kPanelRows) {
    const std::size_t count = rows_ - first < kPanelRows ? rows_ - first : kPanelRows;
    fill_panel_watched(first, count, panel.data(), monitor, pairs_before(rows_, first));
    consumer.consume(consumer.context, first, count, panel.data());
    notify(monitor, pairs_before(rows_, first + count), total);
  }
}

namespace {

// The state the threads of one pass share, guarded by `mutex`. Panels are
// claimed in increasing order, so the panels in flight (claimed, not yet
// given back by the caller) are always [next_to_consume, next_claim), never
// more than there are buffers: `ready` can be a ring indexed by panel.
class PassPipeline {
 public:
  PassPipeline(const PairSimilarities& source, unsigned threads)
      : source_(source),
        panels_(source.panel_count()),
        panel_floats_(PairSimilarities::kPanelRows * source.panel_stride()),
        slot_count_(1 + (threads - 1) * kSlotsPerWorker) {
    // Bookkeeping first, on the calling thread: once the workers run, the
    // shared lists never allocate.
    storage_.resize(slot_count_);
    free_.reserve(slot_count_);
    ready_.assign(slot_count_, nullptr);
    workers_.reserve(threads - 1);
    // The caller's own buffer.
    add_slots(0, 1);
    for (unsigned w = 0; w + 1 < threads; ++w) {
      // A worker's buffers are allocated here, before it starts: when
      // memory or a thread cannot be had, the pass goes on with the workers
      // it has (at worst the calling thread alone), with the same bits,
      // rather than fail where one thread would not.
      try {
        add_slots(1 + w * kSlotsPerWorker, kSlotsPerWorker);
      } catch (const AllocationFailure&) {
        break;
      }
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  PassPipeline(const PassPipeline&) = delete;
  PassPipeline& operator=(const PassPipeline&) = delete;

  // Stops the workers at their next panel boundary and joins them, on every
  // path out of the pass.
  ~PassPipeline() { join(); }

  // After the last panel: joins the workers and rethrows a failure one of
  // them had, even one the caller's takes did not run into, so that a pass
  // fails or succeeds whatever the timing of its threads.
  void finish() {
    join();
    if (failure_) std::rethrow_exception(failure_);
  }

  // The caller's side: panel `panel`'s buffer once it is filled, helping to
  // fill panels while it is not. Rethrows a worker's failure.
  const float* take(std::size_t panel, const PassMonitor& monitor, std::uint64_t pairs_done) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (failure_) std::rethrow_exception(failure_);
      float*& slot = ready_[panel % slot_count_];
      if (slot != nullptr) {
        float* buffer = slot;
        slot = nullptr;
        return buffer;
      }
      if (next_claim_ < panels_ && !free_.empty()) {
        const std::size_t claimed = next_claim_++;
        float* buffer = free_.back();
        free_.pop_back();
        lock.unlock();
        source_.fill_panel_watched(claimed * PairSimilarities::kPanelRows,
                                   rows_in(claimed), buffer, monitor, pairs_done);
        lock.lock();
        ready_[claimed % slot_count_] = buffer;
        continue;
      }
      if (changed_.wait_for(lock, kWatchInterval) == std::cv_status::timeout) {
        lock.unlock();
        notify(monitor, pairs_done, pair_count(source_.rows()));
        lock.lock();
      }
    }
  }

  // Hands a consumed panel's buffer back for the next claim.
  void give_back(const float* buffer) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(const_cast<float*>(buffer));
    }
    changed_.notify_all();
  }

  std::size_t rows_in(std::size_t panel) const noexcept {
    const std::size_t first = panel * PairSimilarities::kPanelRows;
    const std::size_t left = source_.rows() - first;
    return left < PairSimilarities::kPanelRows ? left : PairSimilarities::kPanelRows;
  }

 private:
  void join() noexcept {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
  }

  // Allocates slots [first, first + count) and offers them for claims.
  void add_slots(std::size_t first, std::size_t count) {
    for (std::size_t s = first; s < first + count; ++s) storage_[s].resize(panel_floats_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t s = first; s < first + count; ++s) free_.push_back(storage_[s].data());
  }

  void work() noexcept {
    const DefaultFloatEnvironment float_environment;
    try {
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        changed_.wait(lock, [&] { return stopping_ || next_claim_ >= panels_ || !free_.empty(); });
        if (stopping_ || next_claim_ >= panels_) return;
        const std::size_t claimed = next_claim_++;
        float* buffer = free_.back();
        free_.pop_back();
        lock.unlock();
        source_.fill_panel(claimed * PairSimilarities::kPanelRows, rows_in(claimed), buffer,
                           source_.panel_stride());
        lock.lock();
        ready_[claimed % slot_count_] = buffer;
        changed_.notify_all();
      }
    } catch (...) {
      // Reaches the caller, unchanged, at its next take().
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        stopping_ = true;
      }
      changed_.notify_all();
    }
  }

  const PairSimilarities& source_;
  const std::size_t panels_;
  const std::size_t panel_floats_;
  const std::size_t slot_count_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_claim_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::vector<float*> free_;
  std::vector<float*> ready_;
  std::vector<Buffer<float>> storage_;
  std::vector<std::thread> workers_;
};

}  // namespace

void PairSimilarities::run_threaded_pass(PanelConsumer consumer, const PassMonitor& monitor,
                                         unsigned threads) const {
  const std::uint64_t total = pair_count(rows_);
  ForkAwareMonitor watched(monitor);
  const PassMonitor checked = watched.monitor();
  const std::size_t panels = panel_count();
  // On the heap, so that a forked child can leave it untouched (see
  // process_change.hpp).
  auto pipeline = std::make_unique<PassPipeline>(*this, threads);
  std::size_t next = 0;
  try {
    while (next < panels) {
      const std::size_t first = next * kPanelRows;
      const std::size_t count = pipeline->rows_in(next);
      const float* panel = pipeline->take(next, checked, pairs_before(rows_, first));
      consumer.consume(consumer.context, first, count, panel);
      pipeline->give_back(panel);
      // Consumed: a child forked in the monitor goes on from the next one.
      ++next;
      notify(checked, pairs_before(rows_, first + count), total);
    }
  } catch (const ProcessForked&) {
    // A forked child: no worker is here, and what they shared may be frozen
    // mid-change. Leave the pipeline untouched (and unfreed); the panels
    // from `next` on are filled by this thread, in order, as before.
    (void)pipeline.release();
    run_serial_pass(consumer, monitor, next);
    return;
  }
  pipeline->finish();
}

}  // namespace metrics
