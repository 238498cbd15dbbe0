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

// The same formula on float64 sums, over the exact pair count.
double isotropy_shadow_from_total(double total, std::uint64_t pairs) {
  const double mean = total / static_cast<double>(pairs);
  return std::fmax(1.0 - std::fmin(mean, 1.0), 0.0);
}

float distinctiveness_from(float mean, float deviations, float pairs) {
  const float spread = std::sqrt(deviations / pairs);
  const float t = (1.0f - std::fabs(mean)) * (spread + 1.0f);
  // min first, then max; a NaN t gives exactly 1.
  return max_ignoring_nan(min_ignoring_nan(t, 1.0f), 0.0f);
}

double distinctiveness_shadow_from(double mean, double deviations, std::uint64_t pairs) {
  const double spread = std::sqrt(deviations / static_cast<double>(pairs));
  const double t = (1.0 - std::fabs(mean)) * (spread + 1.0);
  return std::fmax(std::fmin(t, 1.0), 0.0);
}

// The running sums, continued over one row's similarities in order, each
// with its float64 shadow beside it: one more independent chain, which
// costs next to nothing beside the float32 chain's latency. Kept out of
// line so that each sum lives in a register for the whole row: once inlined
// into the pass loops the compiler tends to keep it in memory, and a store
// and reload per pair doubles the length of the dependency chain.
struct SumWithShadow {
  float value;
  double shadow;
};

[[gnu::noinline]] SumWithShadow add_absolute_values(SumWithShadow running, const float* values,
                                                    std::size_t count) {
  float total = running.value;
  double shadow = running.shadow;
  for (std::size_t t = 0; t < count; ++t) {
    const float magnitude = std::fabs(values[t]);
    total = total + magnitude;
    shadow = shadow + static_cast<double>(magnitude);
  }
  return {total, shadow};
}

[[gnu::noinline]] SumWithShadow add_values(SumWithShadow running, const float* values, std::size_t count) {
  float total = running.value;
  double shadow = running.shadow;
  for (std::size_t t = 0; t < count; ++t) {
    total = total + values[t];
    shadow = shadow + static_cast<double>(values[t]);
  }
  return {total, shadow};
}

struct TwoSums {
  SumWithShadow absolute;
  SumWithShadow plain;
};

// Isotropy's and distinctiveness's sums side by side: independent chains,
// each in pair order.
[[gnu::noinline]] TwoSums add_absolute_and_plain_values(TwoSums running, const float* values,
                                                        std::size_t count) {
  float absolute = running.absolute.value;
  float plain = running.plain.value;
  double absolute_shadow = running.absolute.shadow;
  double plain_shadow = running.plain.shadow;
  for (std::size_t t = 0; t < count; ++t) {
    const float magnitude = std::fabs(values[t]);
    absolute = absolute + magnitude;
    plain = plain + values[t];
    absolute_shadow = absolute_shadow + static_cast<double>(magnitude);
    plain_shadow = plain_shadow + static_cast<double>(values[t]);
  }
  return {{absolute, absolute_shadow}, {plain, plain_shadow}};
}

// The mean a spread is taken around, in float32 and in its shadow.
struct Mean {
  float value;
  double shadow;
};

// (x - mean)^2 for each value: difference rounded, square rounded, then
// added; the shadow around the shadow mean.
[[gnu::noinline]] SumWithShadow add_squared_deviations(SumWithShadow running, const float* values,
                                                       std::size_t count, Mean mean) {
  float total = running.value;
  double shadow = running.shadow;
  for (std::size_t t = 0; t < count; ++t) {
    const float diff = values[t] - mean.value;
    const float square = diff * diff;
    total = total + square;
    const double shadow_diff = static_cast<double>(values[t]) - mean.shadow;
    const double shadow_square = shadow_diff * shadow_diff;
    shadow = shadow + shadow_square;
  }
  return {total, shadow};
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
  SumWithShadow deviations(Mean mean, const PassMonitor& monitor) const {
    constexpr std::size_t kStretch = std::size_t{1} << 24;
    SumWithShadow total{0.0f, 0.0};
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

// What the monitor of one pass reports when a measurement makes two: the
// whole measurement's progress. Both passes count against twice the pairs,
// the second after the first, so progress rises steadily to one total
// however often a pass calls its monitor.
class PassShare {
 public:
  PassShare(const PassOptions& outer, std::uint64_t pairs, bool second)
      : outer_(outer.monitor), offset_(second ? pairs : 0), total_(2 * pairs), options_(outer) {
    if (outer_.between_panels != nullptr) options_.monitor = {&PassShare::forward, this};
  }
  PassShare(const PassShare&) = delete;
  PassShare& operator=(const PassShare&) = delete;

  const PassOptions& options() const noexcept { return options_; }

 private:
  static void forward(void* context, std::uint64_t done, std::uint64_t) {
    const auto& self = *static_cast<PassShare*>(context);
    self.outer_.between_panels(self.outer_.context, self.offset_ + done, self.total_);
  }

  PassMonitor outer_;
  std::uint64_t offset_;
  std::uint64_t total_;
  PassOptions options_;
};

// The options of the pass over the pairs that takes the sums: a pass of its
// own when the list is kept, the first of two otherwise.
struct FirstPass {
  FirstPass(const PassOptions& options, std::uint64_t pairs, bool list_kept)
      : share(options, pairs, false), options(list_kept ? options : share.options()) {}
  PassShare share;
  const PassOptions& options;
};

// The spread's sum, computed again from the pairs when the list was not kept.
SumWithShadow deviations_by_recomputing(const PairSimilarities& similarities, Mean mean,
                                        const PassOptions& options) {
  const PassShare second(options, pair_count(similarities.rows()), true);
  SumWithShadow total{0.0f, 0.0};
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    total = add_squared_deviations(total, values, count, mean);
  }, second.options());
  return total;
}

SumWithShadow deviations_of(const SimilarityList& list, const PairSimilarities& similarities, Mean mean,
                            const PassOptions& options) {
  return list.kept() ? list.deviations(mean, options.monitor)
                     : deviations_by_recomputing(similarities, mean, options);
}

Mean mean_of(SumWithShadow sum, std::uint64_t pairs) {
  return {sum.value / count_to_float(pairs), sum.shadow / static_cast<double>(pairs)};
}

Shadowed distinctiveness_of(Mean mean, SumWithShadow deviations, std::uint64_t pairs) {
  return {distinctiveness_from(mean.value, deviations.value, count_to_float(pairs)),
          distinctiveness_shadow_from(mean.shadow, deviations.shadow, pairs)};
}

}  // namespace

Shadowed isotropy_on_path(const EmbeddingBatch& embeddings, KernelPath path, const PassOptions& options) {
  if (has_no_pairs(embeddings)) return {};
  const PairSimilarities similarities(embeddings, path, options.threads);
  SumWithShadow total{0.0f, 0.0};
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    total = add_absolute_values(total, values, count);
  }, options);
  const std::uint64_t pairs = pair_count(embeddings.rows());
  return {isotropy_from_total(total.value, pairs), isotropy_shadow_from_total(total.shadow, pairs)};
}

Shadowed distinctiveness_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                 std::size_t list_budget_bytes) {
  return distinctiveness_on_path(embeddings, path, PassOptions{}, list_budget_bytes);
}

Shadowed distinctiveness_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                 const PassOptions& options, std::size_t list_budget_bytes) {
  if (has_no_pairs(embeddings)) return {};
  const std::uint64_t pairs = pair_count(embeddings.rows());
  const PairSimilarities similarities(embeddings, path, options.threads);
  SimilarityList list(pairs, list_budget_bytes);

  SumWithShadow sum{0.0f, 0.0};
  const FirstPass first(options, pairs, list.kept());
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    sum = add_values(sum, values, count);
    list.append(values, count);
  }, first.options);
  const Mean mean = mean_of(sum, pairs);
  return distinctiveness_of(mean, deviations_of(list, similarities, mean, options), pairs);
}

PairMeasures pair_measures_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                   std::size_t list_budget_bytes) {
  return pair_measures_on_path(embeddings, path, PassOptions{}, list_budget_bytes);
}

PairMeasures pair_measures_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                   const PassOptions& options, std::size_t list_budget_bytes) {
  if (has_no_pairs(embeddings)) return {};
  const std::uint64_t pairs = pair_count(embeddings.rows());
  const PairSimilarities similarities(embeddings, path, options.threads);
  SimilarityList list(pairs, list_budget_bytes);

  // Isotropy's total and distinctiveness's sum are two independent running
  // sums over the same similarities, each in pair order.
  TwoSums sums{{0.0f, 0.0}, {0.0f, 0.0}};
  const FirstPass first(options, pairs, list.kept());
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    sums = add_absolute_and_plain_values(sums, values, count);
    list.append(values, count);
  }, first.options);
  const Mean mean = mean_of(sums.plain, pairs);
  const Shadowed distinctiveness =
      distinctiveness_of(mean, deviations_of(list, similarities, mean, options), pairs);
  PairMeasures measures;
  measures.isotropy = isotropy_from_total(sums.absolute.value, pairs);
  measures.isotropy_shadow = isotropy_shadow_from_total(sums.absolute.shadow, pairs);
  measures.distinctiveness = distinctiveness.value;
  measures.distinctiveness_shadow = distinctiveness.shadow;
  return measures;
}

}  // namespace metrics
