#include "sound_formulas.hpp"

#include <cmath>

#include "buffer.hpp"
#include "parallel_parts.hpp"
#include "wide_integer.hpp"

namespace metrics {

namespace {

// The exact sums are fixed-point numbers: value() * 2^kLowestExponent.
constexpr int kUnit = ExactSum::kLowestExponent;

}  // namespace

SoundPairMeasures sound_pair_measures(const SimilaritySums& sums) {
  const std::uint64_t pairs = sums.count();
  if (pairs == 0) return {};
  SoundPairMeasures measures;
  if (sums.non_finite() > 0) {
    // As in float32: a NaN total caps the mean at 1, and a NaN spread
    // makes distinctiveness exactly 1.
    measures.isotropy = 0.0;
    measures.distinctiveness = 1.0;
    return measures;
  }
  const auto p = static_cast<double>(pairs);
  const double mean_absolute = sums.absolute().to_double() / p;
  measures.isotropy = std::fmax(1.0 - std::fmin(mean_absolute, 1.0), 0.0);

  // The population variance (P Q - S^2) / P^2, its numerator formed exactly:
  // in floating point it cancels to nothing when the similarities agree.
  const WideInteger plain = sums.plain().value();
  const WideInteger squares = sums.squares().value();
  const WideInteger count = WideInteger::from_u64(pairs);
  const WideInteger numerator =
      (count * squares).shifted_left(static_cast<std::size_t>(-kUnit)) - plain * plain;
  const double variance = numerator.to_double(2 * kUnit) / p / p;
  const double mean = plain.to_double(kUnit) / p;
  const double spread = std::sqrt(std::fmax(variance, 0.0));
  const double t = (1.0 - std::fabs(mean)) * (spread + 1.0);
  measures.distinctiveness = std::fmax(std::fmin(t, 1.0), 0.0);
  return measures;
}

namespace {

// The exact variance of dimension k of `sums` over `rows` rows, rounded to a
// double. With S the sum and Q the sum of squares of the c values of the
// dimension and mean S / n, the variance is the sum over its values of
// (r - S/n)^2 / n = (n^2 Q - 2 n S^2 + c S^2) / n^3.
double exact_variance(const DimensionSums& sums, std::size_t k, std::uint64_t rows) {
  const WideInteger n = WideInteger::from_u64(rows);
  const WideInteger plain = sums.plain(k).value();
  const WideInteger squares = sums.squares(k).value();
  const WideInteger weight = WideInteger::from_u64(sums.count(k)) - n - n;
  const WideInteger numerator =
      ((n * n) * squares).shifted_left(static_cast<std::size_t>(-kUnit)) + weight * plain * plain;
  const auto n_double = static_cast<double>(rows);
  return std::fmax(numerator.to_double(2 * kUnit) / n_double / n_double / n_double, 0.0);
}

// Dimensions per part below which the variances are formed on fewer threads.
constexpr std::size_t kDimensionsPerPart = 256;

}  // namespace

void VarianceTotal::add(DimensionSums& sums, std::uint64_t rows, unsigned threads) {
  sums.settle();
  if (sums.non_finite() > 0) non_finite_ = true;
  if (non_finite_ || rows == 0) return;
  // Each variance is exact before it is rounded, and their total is exact:
  // the parts' totals merge to the same bits however the dimensions split.
  const std::size_t parts = parts_for(threads, sums.dimensions(), kDimensionsPerPart);
  Buffer<ExactSum> totals(parts);
  const std::size_t d = sums.dimensions();
  run_parts(parts, [&](std::size_t p) {
    for (std::size_t k = d * p / parts; k < d * (p + 1) / parts; ++k) totals[p].add(exact_variance(sums, k, rows));
  });
  for (const ExactSum& part : totals) total_.merge(part);
}

double VarianceTotal::coverage(std::uint64_t dimensions) const {
  if (non_finite_) return 1.0;
  if (dimensions == 0) return 0.0;
  const double v = total_.to_double() / static_cast<double>(dimensions);
  const double w = v / (v + 1.0);
  return std::fmin(w, 1.0);
}

double sound_quality_score(double isotropy, double coverage, double distinctiveness) {
  const double sum = (isotropy * 0.4 + coverage * 0.3) + distinctiveness * 0.3;
  return std::fmin(std::fmax(sum, 0.0), 1.0);
}

double sound_relative_change(double baseline, double current) {
  return std::fabs(baseline - current) / (baseline + 1.0);
}

double sound_drift(double baseline_isotropy, double baseline_coverage, double baseline_distinctiveness,
                   double current_isotropy, double current_coverage, double current_distinctiveness) {
  return ((sound_relative_change(baseline_isotropy, current_isotropy) +
           sound_relative_change(baseline_coverage, current_coverage)) +
          sound_relative_change(baseline_distinctiveness, current_distinctiveness)) /
         3.0;
}

}  // namespace metrics
