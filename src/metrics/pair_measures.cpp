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

// The running sums, continued over one row's similarities in order. Kept
// out of line so that each sum lives in a register for the whole row: once
// inlined into the pass loops the compiler tends to keep it in memory, and a
// store and reload per pair doubles the length of the dependency chain.
//
// Beside each float32 chain runs its float64 shadow. A shadow needs no
// order: it is summed in four lanes, four values a step, so that it costs a
// few vector instructions per four values and stays off the float32 chain's
// critical path (a second scalar chain of converts and adds competed with it
// for the same ports).
struct SumWithShadow {
  float value;
  double shadow;
};

// Four float64 lanes as two pairs: a pair is an SSE2 register, which every
// x86-64 processor has (a four-wide type would change the calling
// convention with the instruction set).
using DoublePair = double __attribute__((vector_size(16)));
struct ShadowLanes {
  DoublePair low{};
  DoublePair high{};

  ShadowLanes& operator+=(const ShadowLanes& other) {
    low += other.low;
    high += other.high;
    return *this;
  }
};

inline ShadowLanes widened(const float* values) {
  return {DoublePair{static_cast<double>(values[0]), static_cast<double>(values[1])},
          DoublePair{static_cast<double>(values[2]), static_cast<double>(values[3])}};
}

inline double lane_total(const ShadowLanes& lanes) {
  return (lanes.low[0] + lanes.low[1]) + (lanes.high[0] + lanes.high[1]);
}

inline ShadowLanes magnitudes(const ShadowLanes& lanes) {
  return {DoublePair{std::fabs(lanes.low[0]), std::fabs(lanes.low[1])},
          DoublePair{std::fabs(lanes.high[0]), std::fabs(lanes.high[1])}};
}

[[gnu::noinline]] SumWithShadow add_absolute_values(SumWithShadow running, const float* values,
                                                    std::size_t count) {
  float total = running.value;
  ShadowLanes shadow{};
  std::size_t t = 0;
  for (; t + 4 <= count; t += 4) {
    for (std::size_t k = 0; k < 4; ++k) total = total + std::fabs(values[t + k]);
    shadow += magnitudes(widened(values + t));
  }
  double rest = running.shadow + lane_total(shadow);
  for (; t < count; ++t) {
    total = total + std::fabs(values[t]);
    rest = rest + std::fabs(static_cast<double>(values[t]));
  }
  return {total, rest};
}

// The plain sum with the shadows distinctiveness needs: the sum and the sum
// of squares, from which the spread's shadow follows without a second look
// at the similarities.
struct PlainSums {
  float value;
  double shadow;
  double squares_shadow;
};

inline ShadowLanes squares(const ShadowLanes& lanes) { return {lanes.low * lanes.low, lanes.high * lanes.high}; }

[[gnu::noinline]] PlainSums add_values(PlainSums running, const float* values, std::size_t count) {
  float total = running.value;
  ShadowLanes shadow{};
  ShadowLanes squares_shadow{};
  std::size_t t = 0;
  for (; t + 4 <= count; t += 4) {
    for (std::size_t k = 0; k < 4; ++k) total = total + values[t + k];
    const ShadowLanes wide = widened(values + t);
    shadow += wide;
    squares_shadow += squares(wide);
  }
  double rest = running.shadow + lane_total(shadow);
  double squares_rest = running.squares_shadow + lane_total(squares_shadow);
  for (; t < count; ++t) {
    const auto wide = static_cast<double>(values[t]);
    total = total + values[t];
    rest = rest + wide;
    squares_rest = squares_rest + wide * wide;
  }
  return {total, rest, squares_rest};
}

struct TwoSums {
  SumWithShadow absolute;
  PlainSums plain;
};

// Isotropy's and distinctiveness's sums side by side: independent chains,
// each in pair order.
[[gnu::noinline]] TwoSums add_absolute_and_plain_values(TwoSums running, const float* values,
                                                        std::size_t count) {
  float absolute = running.absolute.value;
  float plain = running.plain.value;
  ShadowLanes absolute_shadow{};
  ShadowLanes plain_shadow{};
  ShadowLanes squares_shadow{};
  std::size_t t = 0;
  for (; t + 4 <= count; t += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      absolute = absolute + std::fabs(values[t + k]);
      plain = plain + values[t + k];
    }
    const ShadowLanes wide = widened(values + t);
    plain_shadow += wide;
    absolute_shadow += magnitudes(wide);
    squares_shadow += squares(wide);
  }
  double absolute_rest = running.absolute.shadow + lane_total(absolute_shadow);
  double plain_rest = running.plain.shadow + lane_total(plain_shadow);
  double squares_rest = running.plain.squares_shadow + lane_total(squares_shadow);
  for (; t < count; ++t) {
    const auto wide = static_cast<double>(values[t]);
    absolute = absolute + std::fabs(values[t]);
    plain = plain + values[t];
    absolute_rest = absolute_rest + std::fabs(wide);
    plain_rest = plain_rest + wide;
    squares_rest = squares_rest + wide * wide;
  }
  return {{absolute, absolute_rest}, {plain, plain_rest, squares_rest}};
}

// (x - mean)^2 for each value: difference rounded, square rounded, then
// added.
[[gnu::noinline]] float add_squared_deviations(float running, const float* values, std::size_t count,
                                               float mean) {
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
float deviations_by_recomputing(const PairSimilarities& similarities, float mean,
                                const PassOptions& options) {
  const PassShare second(options, pair_count(similarities.rows()), true);
  float total = 0.0f;
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    total = add_squared_deviations(total, values, count, mean);
  }, second.options());
  return total;
}

float deviations_of(const SimilarityList& list, const PairSimilarities& similarities, float mean,
                    const PassOptions& options) {
  return list.kept() ? list.deviations(mean, options.monitor)
                     : deviations_by_recomputing(similarities, mean, options);
}

// Distinctiveness from the plain sums, their float32 mean and the float32
// spread's sum: the float32 result, and its shadow from the shadow sums,
// whose variance is Q / P - (S / P)^2. That form cancels where the similarities agree, but
// only to about 1e-16, a spread of 1e-8 in the shadow: far inside the
// tolerance it is compared at.
Shadowed distinctiveness_of(const PlainSums& sums, float mean, float deviations, std::uint64_t pairs) {
  const auto p = static_cast<double>(pairs);
  const double shadow_mean = sums.shadow / p;
  const double shadow_deviations = std::fmax(sums.squares_shadow - sums.shadow * shadow_mean, 0.0);
  return {distinctiveness_from(mean, deviations, count_to_float(pairs)),
          distinctiveness_shadow_from(shadow_mean, shadow_deviations, pairs)};
}

float float32_mean(const PlainSums& sums, std::uint64_t pairs) { return sums.value / count_to_float(pairs); }

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

  PlainSums sum{0.0f, 0.0, 0.0};
  const FirstPass first(options, pairs, list.kept());
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    sum = add_values(sum, values, count);
    list.append(values, count);
  }, first.options);
  const float mean = float32_mean(sum, pairs);
  return distinctiveness_of(sum, mean, deviations_of(list, similarities, mean, options), pairs);
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
  TwoSums sums{{0.0f, 0.0}, {0.0f, 0.0, 0.0}};
  const FirstPass first(options, pairs, list.kept());
  similarities.for_each_row([&](std::size_t, const float* values, std::size_t count) {
    sums = add_absolute_and_plain_values(sums, values, count);
    list.append(values, count);
  }, first.options);
  const float mean = float32_mean(sums.plain, pairs);
  const Shadowed distinctiveness =
      distinctiveness_of(sums.plain, mean, deviations_of(list, similarities, mean, options), pairs);
  PairMeasures measures;
  measures.isotropy = isotropy_from_total(sums.absolute.value, pairs);
  measures.isotropy_shadow = isotropy_shadow_from_total(sums.absolute.shadow, pairs);
  measures.distinctiveness = distinctiveness.value;
  measures.distinctiveness_shadow = distinctiveness.shadow;
  return measures;
}

}  // namespace metrics
