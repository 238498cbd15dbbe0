// The numeric kernels: quality measures of embedding batches and ranked
// retrieval results, computed in float32 with every sum a sequential running
// sum in a fixed order, so that results are reproducible to the last bit.
//
// Kernels borrow their inputs read-only, own only scratch buffers, report
// degenerate input by returning 0 and fail only by throwing InternalFailure
// or AllocationFailure (failure.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>

#include "buffer.hpp"
#include "checked_size.hpp"
#include "exact_arithmetic.hpp"

namespace metrics {

// Keeps memory that a batch borrows valid for as long as the batch lives, and
// hands it back when destroyed (the batch destroys it at its own end). The
// hints below let a reader say how it walks the rows; a keeper that owns
// its memory outright (a read-only file mapping, say) may use them to drop
// pages it will not need again. They never change a value, and ignoring
// them is always correct.
class MemoryKeeper {
 public:
  virtual ~MemoryKeeper() = default;
  // The rows are about to be read once more, from the first, in order.
  virtual void reading_rows_in_order() noexcept {}
  // The rows before `end` are read for the last time in this walk.
  virtual void rows_read(std::size_t end) noexcept { (void)end; }
};

// An ordered list of rows of float32 values. Rows may differ in length and
// may be empty. Usually all values live in one contiguous buffer the batch
// owns; row i occupies [row_start(i), row_start(i + 1)), the last row
// ending at the buffer's end. A batch may instead borrow a read-only
// rectangle of n contiguous rows of d floats from memory someone else owns,
// kept valid by its MemoryKeeper; such a batch is never written to.
class EmbeddingBatch {
 public:
  EmbeddingBatch() = default;
  EmbeddingBatch(EmbeddingBatch&&) noexcept = default;
  EmbeddingBatch& operator=(EmbeddingBatch&&) noexcept = default;
  ~EmbeddingBatch() = default;

  // A batch reading `rows` rows of `dimension` floats at `values` (row i at
  // values + i * dimension) in place; `keeper` keeps them valid and is
  // destroyed with the batch. `values` must be aligned for float, and the
  // rectangle no larger than an object can be (InternalFailure otherwise:
  // the reader should have refused it).
  static EmbeddingBatch borrowing(const float* values, std::size_t rows, std::size_t dimension,
                                  std::unique_ptr<MemoryKeeper> keeper);

  bool borrowed() const noexcept { return keeper_ != nullptr; }

  // Copies borrowed values into storage of the batch's own and lets the
  // borrowed memory go (nothing for an owned batch): for when the lender
  // might change it while the batch is still to be read.
  void make_owned();

  std::size_t rows() const noexcept { return borrowed() ? borrowed_rows_ : starts_.size(); }
  bool empty() const noexcept { return rows() == 0; }

  std::span<const float> row(std::size_t i) const noexcept {
    if (borrowed()) return {borrowed_values_ + i * borrowed_dimension_, borrowed_dimension_};
    std::size_t begin = starts_[i];
    std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : values_.size();
    return {values_.data() + begin, end - begin};
  }

  // Row i for writing, of a batch this one owns (the normalised copy being
  // built); a borrowed batch is read-only and fails.
  std::span<float> writable_row(std::size_t i);

  // The batch's dimension d: the length of row 0 (0 for an empty batch).
  std::size_t dimension() const noexcept { return empty() ? 0 : row(0).size(); }

  // All values, row after row.
  std::span<const float> values() const noexcept {
    if (borrowed()) return {borrowed_values_, borrowed_rows_ * borrowed_dimension_};
    return {values_.data(), values_.size()};
  }
  std::size_t value_count() const noexcept { return values().size(); }

  // Building a batch this one owns (a borrowed one fails). start_row()
  // opens a new, empty row; push() appends a value to the row opened last.
  // Sizes asked for here may come from outside: more than memory can ever
  // hold is an AllocationFailure, as is memory that cannot be had.
  void reserve_rows(std::size_t n) {
    require_owned();
    require_storage<std::size_t>(n);
    starts_.reserve(n);
  }
  void reserve_values(std::size_t n) {
    require_owned();
    require_storage<float>(n);
    values_.reserve(n);
  }
  void start_row() {
    require_owned();
    starts_.push_back(values_.size());
  }
  void push(float value) { values_.push_back(value); }

  // Appends `n` rows of `d` values each and returns where to write them.
  float* append_rectangle(std::size_t n, std::size_t d);

  // Appends `n` values to the row opened last and returns where to write them.
  float* append_values(std::size_t n);

  // Hints passed on to the keeper of borrowed memory (see MemoryKeeper);
  // nothing for an owned batch.
  void reading_rows_in_order() const noexcept {
    if (keeper_) keeper_->reading_rows_in_order();
  }
  void rows_read(std::size_t end) const noexcept {
    if (keeper_) keeper_->rows_read(end);
  }

  // An owned batch with the same row lengths as `shape`, every value zero.
  static EmbeddingBatch with_shape_of(const EmbeddingBatch& shape);

  static EmbeddingBatch from_rows(std::initializer_list<std::initializer_list<float>> rows);

 private:
  void require_owned() const;

  Buffer<float> values_;
  Buffer<std::size_t> starts_;
  // A borrowed rectangle; null keeper for an owned batch.
  const float* borrowed_values_ = nullptr;
  std::size_t borrowed_rows_ = 0;
  std::size_t borrowed_dimension_ = 0;
  std::unique_ptr<MemoryKeeper> keeper_;
};

// The five retrieval measures, each in [0, 1].
struct RetrievalMetrics {
  float precision = 0.0f;
  float recall = 0.0f;
  float f1_score = 0.0f;
  float mrr = 0.0f;
  float ndcg = 0.0f;
};

// Lets the caller of a long pair pass watch it and stop it. The pass calls
// `between_panels` on the calling thread between panels of pairs, with the
// number of pairs consumed so far and the total; the callback stops the pass
// by throwing, and the pass unwinds cleanly (workers joined, buffers freed).
struct PassMonitor {
  void (*between_panels)(void* context, std::uint64_t pairs_done, std::uint64_t pairs_total) = nullptr;
  void* context = nullptr;
};

// The instruction-set paths of the pair kernel (pair_kernel/kernel_path.hpp).
enum class KernelPath : unsigned char;

// How a pass over the pairs of a batch runs. threads = 1 never starts a
// thread; more lets worker threads produce similarities for the calling
// thread, with the same bits. kernel_path picks the pair kernel's path (the
// fastest the processor has when empty); one the processor cannot run fails
// the call with InternalFailure.
struct PassOptions {
  unsigned threads = 1;
  PassMonitor monitor{};
  std::optional<KernelPath> kernel_path{};
};

// A float32 result and its shadow: what the same formula gives from float64
// running sums taken in the same order beside the float32 ones. A float32
// running sum stops growing once its total dwarfs its terms (a few thousand
// rows for the pair sums); its float64 shadow does not, so where the two
// disagree by more than kShadowTolerance the float32 result no longer
// measures what it names. Reads as the float32 result.
struct Shadowed {
  float value = 0.0f;
  double shadow = 0.0;
  operator float() const noexcept { return value; }  // NOLINT: the result, as before shadows
};

inline constexpr double kShadowTolerance = 0.001;

// Whether a float32 result has drifted from its shadow by more than the
// tolerance.
bool departs_from_shadow(const Shadowed& result);

// Mean per-dimension variance v squashed to v / (v + 1). Fails on a row
// longer than row 0.
Shadowed compute_coverage(const EmbeddingBatch& embeddings);

// 1 - mean |cosine| over all row pairs.
Shadowed compute_isotropy(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// (1 - |mean cosine|) * (1 + standard deviation of the cosines), in [0, 1].
Shadowed compute_distinctiveness(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// 0.4 * isotropy + 0.3 * coverage + 0.3 * distinctiveness, in [0, 1].
Shadowed compute_quality_score(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// Mean relative change of isotropy, coverage and distinctiveness from the
// baseline batch to the current batch.
Shadowed detect_drift(const EmbeddingBatch& baseline, const EmbeddingBatch& current,
                      const PassOptions& options = {});

// The three measures of one batch and its quality score, each with exactly
// the bits of its own kernel above, from one normalisation and one pass over
// the pairs (plus the spread's second pass when the similarity list is too
// large to keep). Fails, like coverage, on a row longer than row 0.
struct BatchMeasures {
  float isotropy = 0, coverage = 0, distinctiveness = 0, quality_score = 0;
  // Each measure's shadow (see Shadowed).
  struct {
    double isotropy = 0, coverage = 0, distinctiveness = 0, quality_score = 0;
  } shadow;
};
BatchMeasures compute_batch_measures(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// The drift from a batch whose measures are `baseline` to one whose
// measures are `current`: exactly what detect_drift returns for the two.
Shadowed drift_between(const BatchMeasures& baseline, const BatchMeasures& current);

// The measures evaluated on exact, order-free sums, in float64: isotropy
// and distinctiveness from the exact sums of the same float32 similarities
// the kernels above sum (rows whose sum of squares overflows or underflows
// scaled by a power of two first, so that their cosines do not depend on
// scale), coverage from the exact per-dimension sums of the values. Each is
// within about 1e-15 of its formula evaluated exactly, and the bits are the
// same for every thread count, kernel path and machine. Degenerate batches,
// NaN and infinity give what the float32 kernels give. Fails, like
// coverage, on a row longer than row 0.
struct SoundMeasures {
  double isotropy = 0, coverage = 0, distinctiveness = 0, quality_score = 0;
};
SoundMeasures compute_sound_measures(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// The drift from a batch whose sound measures are `baseline` to one whose
// sound measures are `current`, in float64.
double sound_drift_between(const SoundMeasures& baseline, const SoundMeasures& current);

// A batch measured in parts (by several processes, say): the exact sums of
// some of its pairs or of some of its rows, as bytes that merge exactly with
// the other parts' whatever the split, so that the measures on the merged
// sums are bit for bit those of compute_sound_measures on the whole batch.
// Every pair must be summed once: the pairs within each block of rows and
// between each two blocks. Rows are scaled and normalised as there.
Buffer<unsigned char> pair_sums_within(const EmbeddingBatch& rows, const PassOptions& options = {});
Buffer<unsigned char> pair_sums_between(const EmbeddingBatch& rows, const EmbeddingBatch& columns,
                                        const PassOptions& options = {});
// Sums of the rows' values over `dimension` dimensions (the batch's row 0
// length); a longer row fails as coverage does.
Buffer<unsigned char> dimension_sums_of(const EmbeddingBatch& rows, std::size_t dimension,
                                        const PassOptions& options = {});
// The sums of the given similarities, as pair_sums_within gives them.
Buffer<unsigned char> sum_similarities(std::span<const float> values);
// Merged states of one kind, or nothing when the bytes are no such states
// (or of different dimensions).
std::optional<Buffer<unsigned char>> merge_sums(std::span<const std::span<const unsigned char>> states);
// The measures on the merged sums of all pairs and all rows of a batch, or
// nothing when the states are not such (a pair count that is not that of
// the rows, say).
std::optional<SoundMeasures> sound_measures_from_sums(std::span<const unsigned char> pairs,
                                                      std::span<const unsigned char> dimensions);

// The number of rows holding at least one NaN or infinity, and the index of
// the first such row (rows() when there is none).
struct NonFiniteRows {
  std::size_t count = 0;
  std::size_t first = 0;
};
// With threads > 1, a large batch is scanned by that many threads at most.
NonFiniteRows find_non_finite_rows(const EmbeddingBatch& embeddings, unsigned threads = 1);

// Precision, recall, F1, MRR and NDCG of a ranked identifier list.
RetrievalMetrics compute_retrieval_metrics(std::span<const std::uint64_t> retrieved,
                                           std::span<const std::uint64_t> relevant,
                                           std::uint64_t top_k);

}  // namespace metrics
