// The measures' formulas evaluated on exact sums, in float64: isotropy and
// distinctiveness from the exact sums of the similarities, coverage from the
// exact per-dimension sums. Each result lies within a few units in the last
// place of a double of its formula evaluated exactly; the degenerate cases,
// clamps and non-finite data give what the float32 kernels give. Internal to
// the metrics module.
#pragma once

#include <cstdint>

#include "dimension_sums.hpp"
#include "exact_sum.hpp"
#include "similarity_sums.hpp"

namespace metrics {

struct SoundPairMeasures {
  double isotropy = 0.0;
  double distinctiveness = 0.0;
};

// From the sums of all n(n - 1)/2 similarities of a batch (count() of them).
SoundPairMeasures sound_pair_measures(const SimilaritySums& sums);

// The sum over dimensions of their population variances, exactly, built a
// range of dimensions at a time; coverage() squashes its mean.
class VarianceTotal {
 public:
  // Adds the variances of the dimensions `sums` covers, over `rows` rows in
  // all (rows that do not reach a dimension still count in its divisor),
  // formed by `threads` threads at most.
  void add(DimensionSums& sums, std::uint64_t rows, unsigned threads = 1);
  // Marks the data as holding NaN or infinity, which makes coverage 1.
  void add_non_finite() noexcept { non_finite_ = true; }
  bool non_finite() const noexcept { return non_finite_; }

  // v / (v + 1) for v the mean variance over `dimensions` dimensions.
  double coverage(std::uint64_t dimensions) const;

 private:
  // The variances are added as doubles, each within an ulp or two of its
  // exact value, into an exact sum: the total is then as good as its terms.
  ExactSum total_;
  bool non_finite_ = false;
};

double sound_quality_score(double isotropy, double coverage, double distinctiveness);

double sound_relative_change(double baseline, double current);
double sound_drift(double baseline_isotropy, double baseline_coverage, double baseline_distinctiveness,
                   double current_isotropy, double current_coverage, double current_distinctiveness);

}  // namespace metrics
