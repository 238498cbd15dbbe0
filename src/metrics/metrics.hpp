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
#include <optional>
#include <span>

#include "buffer.hpp"
#include "exact_arithmetic.hpp"

namespace metrics {

// An ordered list of rows of float32 values. Rows may differ in length and
// may be empty. All values live in one contiguous buffer; row i occupies
// [row_start(i), row_start(i + 1)), the last row ending at the buffer's end.
class EmbeddingBatch {
 public:
  std::size_t rows() const noexcept { return starts_.size(); }
  bool empty() const noexcept { return starts_.empty(); }

  std::span<const float> row(std::size_t i) const noexcept {
    std::size_t begin = starts_[i];
    std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : values_.size();
    return {values_.data() + begin, end - begin};
  }
  std::span<float> row(std::size_t i) noexcept {
    std::size_t begin = starts_[i];
    std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : values_.size();
    return {values_.data() + begin, end - begin};
  }

  // The batch's dimension d: the length of row 0 (0 for an empty batch).
  std::size_t dimension() const noexcept { return empty() ? 0 : row(0).size(); }

  // All values, row after row.
  std::span<const float> values() const noexcept { return {values_.data(), values_.size()}; }

  // Building. start_row() opens a new, empty row; push() appends a value to
  // the row opened last.
  void reserve_rows(std::size_t n) { starts_.reserve(n); }
  void reserve_values(std::size_t n) { values_.reserve(n); }
  void start_row() { starts_.push_back(values_.size()); }
  void push(float value) { values_.push_back(value); }
  std::size_t value_count() const noexcept { return values_.size(); }

  // Appends `n` rows of `d` values each and returns where to write them.
  float* append_rectangle(std::size_t n, std::size_t d);

  // A batch with the same row lengths as `shape`, every value zero.
  static EmbeddingBatch with_shape_of(const EmbeddingBatch& shape);

  static EmbeddingBatch from_rows(std::initializer_list<std::initializer_list<float>> rows);

 private:
  Buffer<float> values_;
  Buffer<std::size_t> starts_;
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

// Mean per-dimension variance v squashed to v / (v + 1). Fails on a row
// longer than row 0.
float compute_coverage(const EmbeddingBatch& embeddings);

// 1 - mean |cosine| over all row pairs.
float compute_isotropy(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// (1 - |mean cosine|) * (1 + standard deviation of the cosines), in [0, 1].
float compute_distinctiveness(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// 0.4 * isotropy + 0.3 * coverage + 0.3 * distinctiveness, in [0, 1].
float compute_quality_score(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// Mean relative change of isotropy, coverage and distinctiveness from the
// baseline batch to the current batch.
float detect_drift(const EmbeddingBatch& baseline, const EmbeddingBatch& current,
                   const PassOptions& options = {});

// The three measures of one batch and its quality score, each with exactly
// the bits of its own kernel above, from one normalisation and one pass over
// the pairs (plus the spread's second pass when the similarity list is too
// large to keep). Fails, like coverage, on a row longer than row 0.
struct BatchMeasures { float isotropy = 0, coverage = 0, distinctiveness = 0, quality_score = 0; };
BatchMeasures compute_batch_measures(const EmbeddingBatch& embeddings, const PassOptions& options = {});

// The number of rows holding at least one NaN or infinity, and the index of
// the first such row (rows() when there is none).
struct NonFiniteRows {
  std::size_t count = 0;
  std::size_t first = 0;
};
NonFiniteRows find_non_finite_rows(const EmbeddingBatch& embeddings);

// Precision, recall, F1, MRR and NDCG of a ranked identifier list.
RetrievalMetrics compute_retrieval_metrics(std::span<const std::uint64_t> retrieved,
                                           std::span<const std::uint64_t> relevant,
                                           std::uint64_t top_k);

}  // namespace metrics
