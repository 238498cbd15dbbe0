#include "pair_measures.hpp"

#include <cmath>

#include "buffer.hpp"
#include "float_ops.hpp"
#include "pair_kernel/pair_similarities.hpp"
#include "pairs.hpp"

namespace metrics {

namespace {

// Fewer than two rows, or an empty row 0: both measures are 0, decided
// before anything is allocated.
bool has_no_pairs(const EmbeddingBatch& embeddings) {
  return embeddings.rows() < 2 || embeddings.row(0).empty();
}

float isotropy_from_total(float total, std::uint64_t pairs) {
  const float mean = total / count_to_float(pairs);
  // A NaN mean becomes 1; similarities rounded above 1 are capped.
  const float capped = min_ignoring_nan(mean, 1.0f);
  return max_ignoring_nan(1.0f - capped, 0.0f);
}

float distinctiveness_from(float mean, float deviations, float pairs) {
  const float spread = std::sqrt(deviations / pairs);
  const float t = (1.0f - std::fabs(mean)) * (spread + 1.0f);
  // min first, then max; a NaN t gives exactly 1.
  return max_ignoring_nan(min_ignoring_nan(t, 1.0f), 0.0f);
}

// The running sums, continued over one row's similarities in order. Kept
// out of line so that each sum lives in a register for the whole row: once
// inlined into the pass loops the compiler tends to keep it in memory, and a
// store and reload per pair doubles the length of the dependency chain.
[[gnu::noinline]] float add_absolute_values(float running, const float* values,
                                            std::size_t count) {
  for (std::size_t t = 0; t < count; ++t) running = running + std::fabs(values[t]);
  return running;
}

[[gnu::noinline]] float add_values(float running, const float* values, std::size_t count) {
  for (std::size_t t = 0; t < count; ++t) running = running + values[t];
  return running;
}

struct TwoSums {
  float absolute;
  float plain;
};

// Isotropy's and distinctiveness's sums side by side: two independent
// chains, each in pair order.
[[gnu::noinline]] TwoSums add_absolute_and_plain_values(TwoSums running, const float* values,
                                                        std::size_t count) {
  float absolute = running.absolute;
  float plain = running.plain;
  for (std::size_t t = 0; t < count; ++t) {
    absolute = absolute + std::fabs(values[t]);
    plain = plain + values[t];
  }
  return {absolute, plain};
}

// (x - mean)^2 for each value: difference rounded, square rounded, then added.
[[gnu::noinline]] float add_squared_deviations(float running, const float* values,
                                               std::size_t count, float mean) {
  for (std::size_t t = 0; t < count; ++t) {
    const float diff = values[t] - mean;
    const float square = diff * diff;
    running = running + square;
  }
  return running;
}

// The similarity list of distinctiveness: every similarity in pair order
// when the list fits the budget, nothing otherwise.
class SimilarityList {
 public:
  SimilarityList(std::uint64_t pairs, std::size_t budget_bytes)
      : kept_(keeps_similarity_list(pairs, budget_bytes)) {
    // Sized once; appending copies without first zeroing the storage.
    if (kept_) values_.reserve(static_cast<std::size_t>(pairs));
  }

  bool kept() const noexcept { return kept_; }

  void append(const float* similarities, std::size_t count) {
    if (kept_) values_.insert(values_.end(), similarities, similarities + count);
  }

  // The spread's sum over the kept list, in pair order, in stretches
  // between which the monitor is called (a pass over the list of a large
  // batch takes long enough to be worth stopping).
  float deviations(float mean, const PassMonitor& monitor) const {
    constexpr std::size_t kStretch = std::size_t{1} << 24;
    float total = 0.0f;
    for (std::size_t begin = 0; begin < values_.size(); begin += kStretch) {
      const std::size_t left = values_.size() - begin;
      total = add_squared_deviations(total, values_.data() + begin, left < kStretch ? left : kStretch,
                                     mean);
      if (monitor.between_panels != nullptr && left > kStretch) {
        monitor.between_panels(monitor.context, values_.size(), values_.size());
      }
    }
    return total;
  }

 private:
  bool kept_;
  Buffer<float> values_;
};

// The spread's sum, computed again from the pairs when the list was not kept.
float deviations_by_recomputing(const PairSimilarities& similarities, float mean,
                                const PassOptions& options) {
  float total = 0.0f;
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    total = add_squared_deviations(total, values, count, mean);
  }, options);
  return total;
}

float deviations_of(const SimilarityList& list, const PairSimilarities& similarities, float mean,
                    const PassOptions& options) {
  return list.kept() ? list.deviations(mean, options.monitor)
                     : deviations_by_recomputing(similarities, mean, options);
}

}  // namespace

float isotropy_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                       const PassOptions& options) {
  if (has_no_pairs(embeddings)) return 0.0f;
  const PairSimilarities similarities(embeddings, path, options.threads);
  float total = 0.0f;
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    total = add_absolute_values(total, values, count);
  }, options);
  return isotropy_from_total(total, pair_count(embeddings.rows()));
}

float distinctiveness_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                              std::size_t list_budget_bytes) {
  return distinctiveness_on_path(embeddings, path, PassOptions{}, list_budget_bytes);
}

float distinctiveness_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                              const PassOptions& options, std::size_t list_budget_bytes) {
  if (has_no_pairs(embeddings)) return 0.0f;
  const std::uint64_t pairs = pair_count(embeddings.rows());
  const float p = count_to_float(pairs);
  const PairSimilarities similarities(embeddings, path, options.threads);
  SimilarityList list(pairs, list_budget_bytes);

  float sum = 0.0f;
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    sum = add_values(sum, values, count);
    list.append(values, count);
  }, options);
  const float mean = sum / p;
  return distinctiveness_from(mean, deviations_of(list, similarities, mean, options), p);
}

PairMeasures pair_measures_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                   std::size_t list_budget_bytes) {
  return pair_measures_on_path(embeddings, path, PassOptions{}, list_budget_bytes);
}

PairMeasures pair_measures_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                   const PassOptions& options, std::size_t list_budget_bytes) {
  if (has_no_pairs(embeddings)) return {};
  const std::uint64_t pairs = pair_count(embeddings.rows());
  const float p = count_to_float(pairs);
  const PairSimilarities similarities(embeddings, path, options.threads);
  SimilarityList list(pairs, list_budget_bytes);

  // Isotropy's total and distinctiveness's sum are two independent running
  // sums over the same similarities, each in pair order.
  TwoSums sums{0.0f, 0.0f};
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    sums = add_absolute_and_plain_values(sums, values, count);
    list.append(values, count);
  }, options);
  const float mean = sums.plain / p;
  PairMeasures measures;
  measures.isotropy = isotropy_from_total(sums.absolute, pairs);
  measures.distinctiveness = distinctiveness_from(mean, deviations_of(list, similarities, mean, options), p);
  return measures;
}

}  // namespace metrics
