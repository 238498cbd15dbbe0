// The measures estimated from a sample of pair similarities, and their
// standard errors.
//
// Estimates: the exact-sum formulas evaluated on the sample's exact sums
// (sound_pair_measures), so that a sample of every pair gives exactly the
// measures on all pairs. Each estimate is a function of sample means:
// isotropy = 1 - mean |x|; distinctiveness = min(t, 1) with
// t = (1 - |a|)(1 + s), a the mean and s^2 the mean squared deviation of x.
// The standard error of a smooth one is, by the delta method, that of the
// mean of its influence values
//   isotropy: -|x|
//   t:        -sign(a)(1 + s) x + (1 - |a|) (x - a)^2 / (2 s)
// for a sample of N of the P pairs drawn without replacement:
// sqrt((1 - N/P) v / N), v the sample variance (divisor N - 1) of the
// influence values. The 95 % interval of isotropy is the estimate plus or
// minus 1.96 standard errors; that of distinctiveness is t's, clamped as
// distinctiveness is (t exceeds 1 whenever the similarities spread widely,
// and then the clamp, not the sample, decides the value). The quality score
// 0.4 isotropy + 0.3 coverage + 0.3 distinctiveness (coverage exact) has
// influence 0.4 (isotropy's) + 0.3 (t's), t's counted only where
// distinctiveness's interval reaches below the clamp. These are float64
// running sums in the sample's order, which depends on the seed only.
#include <cmath>
#include <limits>

#include "exact_sums/dimension_sums.hpp"
#include "exact_sums/similarity_sums.hpp"
#include "exact_sums/sound_formulas.hpp"
#include "float_environment.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_sampling.hpp"
#include "pairs.hpp"

namespace metrics {

namespace {

// The two-sided 95 % point of the normal distribution.
constexpr double kZ95 = 1.959963984540054;

struct Influences {
  // Sample variances of the influence values of isotropy, t, and the
  // quality score with and without t's part.
  double isotropy = 0, t = 0, score_with_t = 0, score_without_t = 0;
  double t_estimate = 0;  // t unclamped, from a and s in float64
};

Influences influence_variances(std::span<const float> x, double mean, double mean_absolute) {
  const auto n = static_cast<double>(x.size());
  double squared_deviations = 0.0;
  for (const float value : x) {
    const double deviation = static_cast<double>(value) - mean;
    squared_deviations += deviation * deviation;
  }
  const double spread = std::sqrt(squared_deviations / n);
  const double sign = mean > 0.0 ? 1.0 : (mean < 0.0 ? -1.0 : 0.0);
  const double by_value = -sign * (1.0 + spread);
  // With no spread at all the second term vanishes with its numerator.
  const double by_square = spread > 0.0 ? (1.0 - std::fabs(mean)) / (2.0 * spread) : 0.0;
  auto t_influence = [&](double value) {
    const double deviation = value - mean;
    return by_value * value + by_square * deviation * deviation;
  };
  double mean_t = 0.0;
  for (const float value : x) mean_t += t_influence(value);
  mean_t /= n;
  Influences v;
  for (const float value : x) {
    const double i = mean_absolute - std::fabs(static_cast<double>(value));
    const double t = t_influence(value) - mean_t;
    v.isotropy += i * i;
    v.t += t * t;
    v.score_with_t += (0.4 * i + 0.3 * t) * (0.4 * i + 0.3 * t);
  }
  v.score_without_t = 0.16 * v.isotropy;
  v.isotropy /= n - 1.0;
  v.t /= n - 1.0;
  v.score_with_t /= n - 1.0;
  v.score_without_t /= n - 1.0;
  v.t_estimate = (1.0 - std::fabs(mean)) * (1.0 + spread);
  return v;
}

double clamped(double value) { return std::fmin(std::fmax(value, 0.0), 1.0); }

SampledMeasures::Interval around(double centre, double stderr) {
  return {clamped(centre - kZ95 * stderr), clamped(centre + kZ95 * stderr)};
}

// The standard errors and intervals of a sample smaller than its population.
void add_standard_errors(SampledMeasures& sampled, std::span<const float> similarities, const SimilaritySums& sums) {
  if (sampled.pairs < 2) {
    const double unknown = std::numeric_limits<double>::quiet_NaN();
    sampled.isotropy_stderr = sampled.distinctiveness_stderr = sampled.quality_score_stderr = unknown;
    sampled.isotropy_interval = sampled.distinctiveness_interval = sampled.quality_score_interval = {0.0, 1.0};
    return;
  }
  const auto count = static_cast<double>(sampled.pairs);
  const double unsampled =
      static_cast<double>(sampled.population - sampled.pairs) / static_cast<double>(sampled.population);
  auto stderr_of = [&](double variance) { return std::sqrt(unsampled * variance / count); };
  const Influences v =
      influence_variances(similarities, sums.plain().to_double() / count, sums.absolute().to_double() / count);
  const SoundMeasures& m = sampled.measures;
  sampled.isotropy_stderr = stderr_of(v.isotropy);
  sampled.isotropy_interval = around(m.isotropy, sampled.isotropy_stderr);
  sampled.distinctiveness_stderr = stderr_of(v.t);
  // Within the clamps the estimate is t itself, to the last bit.
  const bool clamped_t = !(m.distinctiveness > 0.0 && m.distinctiveness < 1.0);
  sampled.distinctiveness_interval =
      around(clamped_t ? v.t_estimate : m.distinctiveness, sampled.distinctiveness_stderr);
  const bool t_counts = sampled.distinctiveness_interval.low < 1.0 && sampled.distinctiveness_interval.high > 0.0;
  sampled.quality_score_stderr = stderr_of(t_counts ? v.score_with_t : v.score_without_t);
  sampled.quality_score_interval = around(m.quality_score, sampled.quality_score_stderr);
}

SampledMeasures::Interval exactly(double value) { return {value, value}; }

}  // namespace

std::optional<SampledMeasures> sampled_measures_from(std::span<const float> similarities,
                                                     std::span<const unsigned char> dimension_state) {
  const DefaultFloatEnvironment float_environment;
  auto dimensions = DimensionSums::deserialize(dimension_state);
  if (!dimensions || dimensions->first_dimension() != 0) return std::nullopt;
  const std::uint64_t n = dimensions->rows();
  if (n > kMostSampledRows) return std::nullopt;
  SampledMeasures sampled;
  sampled.population = pair_count(static_cast<std::size_t>(n));
  sampled.pairs = similarities.size();
  if (sampled.pairs > sampled.population) return std::nullopt;
  const std::size_t d = dimensions->dimensions();
  SoundMeasures& m = sampled.measures;
  SimilaritySums sums(fastest_kernel_path());
  if (n >= 2 && d > 0) {
    VarianceTotal total;
    total.add(*dimensions, n);
    m.coverage = total.coverage(d);
    sums.add(similarities.data(), similarities.size());
    if (total.non_finite() || sums.non_finite() > 0) {
      // A row holding NaN or infinity makes its similarities NaN, which make
      // isotropy 0 and distinctiveness 1 over all pairs: known without error
      // whether or not the sample met such a row. (In a ragged batch a NaN
      // past the end of every row it meets would not: such batches are
      // treated alike.)
      m.distinctiveness = 1.0;
    } else {
      const SoundPairMeasures pair = sound_pair_measures(sums);
      m.isotropy = pair.isotropy;
      m.distinctiveness = pair.distinctiveness;
    }
  }
  m.quality_score = sound_quality_score(m.isotropy, m.coverage, m.distinctiveness);
  sampled.isotropy_interval = exactly(m.isotropy);
  sampled.distinctiveness_interval = exactly(m.distinctiveness);
  sampled.quality_score_interval = exactly(m.quality_score);
  const bool estimated = n >= 2 && d > 0 && sampled.pairs < sampled.population && !dimensions->non_finite() &&
                         sums.non_finite() == 0;
  if (estimated) add_standard_errors(sampled, similarities, sums);
  return sampled;
}

SampledMeasures compute_sampled_measures(const EmbeddingBatch& embeddings, std::uint64_t pairs, std::uint64_t seed,
                                         const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  const std::size_t d = embeddings.dimension();
  const Buffer<unsigned char> dimension_state = dimension_sums_of(embeddings, d, options);
  Buffer<float> similarities;
  if (embeddings.rows() >= 2 && d > 0) {
    const Buffer<RowPair> drawn = draw_pairs(embeddings.rows(), pairs, seed);
    similarities = similarities_of_pairs(embeddings, nullptr, drawn, options.threads);
  }
  const auto sampled = sampled_measures_from(similarities, dimension_state);
  if (!sampled) throw InternalFailure("the sums of a batch do not read back");
  return *sampled;
}

}  // namespace metrics
