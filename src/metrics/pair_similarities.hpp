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
#include "kernel_path.hpp"
#include "metrics.hpp"
#include "packed_batch.hpp"
#include "pair_tile.hpp"
#include "pairs.hpp"

namespace metrics {

class PairSimilarities {
 public:
  // Rows per panel: the pair loop fills this many rows' similarities at a
  // time, then hands them out in order.
  static constexpr std::size_t kPanelRows = 64;
  static_assert(kPanelRows % kTileRows == 0);

  PairSimilarities(const EmbeddingBatch& batch, KernelPath path);

  std::size_t rows() const noexcept { return rows_; }

  // Calls visit(i, similarities, count) for i = 0, ..., n - 2 in order,
  // where similarities[t] is the similarity of the pair (i, i + 1 + t) and
  // count = n - 1 - i. Between two panels it tells options.monitor how many
  // pairs have been visited; a monitor that throws ends the pass there.
  template <class Visit>
  void for_each_row(Visit&& visit, const PassOptions& options = {}) const {
    if (rows_ < 2) return;
    const std::size_t stride = panel_stride();
    Buffer<float> panel(kPanelRows * stride);
    const std::uint64_t total = pair_count(rows_);
    std::uint64_t done = 0;
    for (std::size_t first = 0; first + 1 < rows_; first += kPanelRows) {
      const std::size_t count = rows_ - first < kPanelRows ? rows_ - first : kPanelRows;
      fill_panel(first, count, panel.data(), stride);
      for (std::size_t r = 0; r < count && first + r + 1 < rows_; ++r) {
        const std::size_t i = first + r;
        visit(i, static_cast<const float*>(panel.data() + r * stride + i + 1), rows_ - 1 - i);
        done += rows_ - 1 - i;
      }
      const PassMonitor& monitor = options.monitor;
      if (monitor.between_panels != nullptr && done < total)
        monitor.between_panels(monitor.context, done, total);
    }
  }

  // Fills out[r * stride + j] with the similarity of (first + r, j) for every
  // r < count and first + r < j < n; other entries are left unspecified.
  // `first` must be a multiple of kTileRows, and `out` must have room for
  // `count` rounded up to a multiple of kTileRows rows of `stride` floats.
  void fill_panel(std::size_t first, std::size_t count, float* out, std::size_t stride) const;

  // The smallest panel stride fill_panel accepts.
  std::size_t panel_stride() const noexcept;

 private:
  void fill_packed_panel(std::size_t first, std::size_t count, float* out, std::size_t stride) const;
  void repair_poisoned_pairs(std::size_t first, std::size_t count, float* out,
                             std::size_t stride) const;
  void fill_scalar_panel(std::size_t first, std::size_t count, float* out, std::size_t stride) const;

  std::size_t rows_ = 0;
  bool packed_path_ = false;
  PairTileKernel tile_kernel_ = nullptr;
  PackedBatch packed_;
  EmbeddingBatch normalised_;
};

}  // namespace metrics
