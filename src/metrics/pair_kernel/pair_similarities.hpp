// All pair similarities of one batch, produced panel by panel and handed
// out in the pair order: row i outer, j = i + 1, ..., n - 1 inner.
//
// A batch is normalised once, when the object is built. Most batches go
// through the packed layout and the tile kernel of the chosen path; a batch
// whose padded layout would be far larger than itself (a few very long rows
// among many short ones) is served pair by pair from the plain normalised
// copy. Either way every similarity has exactly the bits of
// dot_product(normalised row i, normalised row j). Internal to the metrics
// module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffer.hpp"
#include "exact_sums/similarity_sums.hpp"
#include "kernel_path.hpp"
#include "metrics.hpp"
#include "packed_batch.hpp"
#include "pair_tile.hpp"
#include "pairs.hpp"

namespace metrics {

class PairSimilarities {
 public:
  // Rows per panel at most: the pair loop fills this many rows'
  // similarities at a time, then hands them out in order. Wide batches get
  // fewer (see panel_rows()).
  static constexpr std::size_t kPanelRows = 64;
  static_assert(kPanelRows % kTileRows == 0);

  // With threads > 1 a large batch is normalised by that many threads at
  // most, with the same values. With scale_extreme_rows, rows whose sum of
  // squares overflows or underflows are scaled by a power of two first
  // (normalize_embeddings); every other similarity keeps its bits.
  PairSimilarities(const EmbeddingBatch& batch, KernelPath path, unsigned threads = 1,
                   bool scale_extreme_rows = false);

  std::size_t rows() const noexcept { return rows_; }

  // Calls visit(i, similarities, count) for i = 0, ..., n - 2 in order, on
  // the calling thread, where similarities[t] is the similarity of the pair
  // (i, i + 1 + t) and count = n - 1 - i. With options.threads > 1 and
  // enough work, worker threads fill panels ahead of the visits; the
  // similarities and the order of the visits are the same either way.
  // options.monitor is called between panels.
  template <class Visit>
  void for_each_row(Visit&& visit, const PassOptions& options = {}) const {
    if (rows_ < 2) return;
    const std::size_t stride = panel_stride();
    auto consume = [&](std::size_t first, std::size_t count, const float* panel) {
      for (std::size_t r = 0; r < count && first + r + 1 < rows_; ++r) {
        const std::size_t i = first + r;
        visit(i, panel + r * stride + i + 1, rows_ - 1 - i);
      }
    };
    using Consume = decltype(consume);
    const PanelConsumer consumer{
        [](void* context, std::size_t first, std::size_t count, const float* panel) {
          (*static_cast<Consume*>(context))(first, count, panel);
        },
        &consume};
    run_pass(consumer, options);
  }

  // Every similarity added into exact sums, with no order to keep: each
  // thread (options.threads at most, the calling thread among them) sums
  // the panels it fills, and their sums are merged at the end, so nothing
  // waits for anything and no similarity is kept. The monitor is called on
  // the calling thread between panels, with the pairs summed so far by all
  // threads.
  SimilaritySums exact_sums(const PassOptions& options = {}) const;
  // The same for the pairs (i, j) with i < split <= j only: those between
  // the rows before `split` and the rows from it on.
  SimilaritySums exact_sums_between(std::size_t split, const PassOptions& options = {}) const;

  // Fills out[r * stride + j] with the similarity of (first + r, j) for every
  // r < count and first + r < j < n; other entries are left unspecified.
  // `first` must be a multiple of kTileRows, and `out` must have room for
  // `count` rounded up to a multiple of kTileRows rows of `stride` floats.
  // Safe to call from several threads at once.
  void fill_panel(std::size_t first, std::size_t count, float* out, std::size_t stride) const;

  // The same for the columns j in [column_begin, column_end) only, where
  // column_begin is a multiple of kTileColumns: filling a panel in column
  // ranges gives it the same bits as filling it at once.
  void fill_panel_columns(std::size_t first, std::size_t count, float* out, std::size_t stride,
                          std::size_t column_begin, std::size_t column_end) const;

  // Fills one panel (stride panel_stride()) on the calling thread in column ranges of bounded work,
  // calling the monitor between them with `pairs_done`; columns before
  // first_column are left out.
  void fill_panel_watched(std::size_t first, std::size_t count, float* out,
                          const PassMonitor& monitor, std::uint64_t pairs_done,
                          std::size_t first_column = 0) const;

  // The smallest panel stride fill_panel accepts.
  std::size_t panel_stride() const noexcept;

  // Panels of kPanelRows rows in a pass over the pairs.
  std::size_t panel_count() const noexcept;

  // Multiply-adds per pair: the depth of the packed layout, or the mean row
  // length of the plain copy.
  std::size_t work_per_pair() const noexcept { return work_per_pair_; }

  // The number of threads a pass with `requested` threads uses: 1 when the
  // pass is too small to gain from more, never more than there are panels.
  unsigned threads_for(unsigned requested) const noexcept;

 private:
  struct PanelConsumer {
    void (*consume)(void* context, std::size_t first, std::size_t count, const float* panel);
    void* context;
  };

  // The pass itself (pair_pass.cpp): panels in order to `consumer`, filled
  // on the calling thread alone or with worker threads.
  void run_pass(PanelConsumer consumer, const PassOptions& options) const;
  // Panels from `first_panel` on, in order, on the calling thread.
  void run_serial_pass(PanelConsumer consumer, const PassMonitor& monitor,
                       std::size_t first_panel = 0) const;
  void run_threaded_pass(PanelConsumer consumer, const PassMonitor& monitor, unsigned threads) const;

  void fill_packed_panel(std::size_t first, std::size_t count, float* out, std::size_t stride,
                         std::size_t column_begin, std::size_t column_end) const;
  void repair_poisoned_pairs(std::size_t first, std::size_t count, float* out, std::size_t stride,
                             std::size_t column_begin, std::size_t column_end) const;
  void fill_scalar_panel(std::size_t first, std::size_t count, float* out, std::size_t stride,
                         std::size_t column_begin, std::size_t column_end) const;

  // Calls pair(r, i, j) for every pair (i, j) the panel of rows
  // [first, first + count) holds in columns [column_begin, column_end):
  // i = first + r < j < rows, row by row, j ascending.
  template <class Pair>
  void for_each_panel_pair(std::size_t first, std::size_t count, std::size_t column_begin,
                           std::size_t column_end, Pair&& pair) const {
    const std::size_t j_end = column_end < rows_ ? column_end : rows_;
    for (std::size_t r = 0; r < count; ++r) {
      const std::size_t i = first + r;
      const std::size_t j_begin = i + 1 > column_begin ? i + 1 : column_begin;
      for (std::size_t j = j_begin; j < j_end; ++j) pair(r, i, j);
    }
  }

  // The panel rows [first, first + count), filled in `panel`, added to `sums`.
  // Which pairs a reduction sums: those with j >= first_column (i < j
  // always), for the panels of rows before end_row.
  struct PairRange {
    std::size_t end_row;
    std::size_t first_column;

    // The pairs the range holds in the panels of rows before `row_end`, in
    // a batch of `rows` rows.
    std::uint64_t pairs_before(std::size_t rows, std::size_t row_end) const noexcept {
      if (row_end > end_row) row_end = end_row;
      if (first_column == 0) return metrics::pairs_before(rows, row_end);
      return std::uint64_t{row_end} * (rows - first_column);
    }
  };
  void add_panel(std::size_t first, std::size_t count, const float* panel, SimilaritySums& sums,
                 PairRange range) const;
  SimilaritySums reduce(const PassOptions& options, PairRange range) const;
  SimilaritySums serial_reduce(const PassMonitor& monitor, PairRange range) const;

  std::size_t rows_ = 0;
  KernelPath path_ = KernelPath::portable;
  // Multiply-adds per pair, for sizing panels and deciding on threads.
  std::size_t work_per_pair_ = 0;
  bool packed_path_ = false;
  PairTileKernel tile_kernel_ = nullptr;
  PackedBatch packed_;
  EmbeddingBatch normalized_;
};

}  // namespace metrics
