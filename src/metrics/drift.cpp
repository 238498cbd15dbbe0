#include "drift.hpp"

#include <cmath>

#include "exact_sums/sound_formulas.hpp"
#include "float_environment.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_measures.hpp"

namespace metrics {

float relative_change(float baseline, float current) {
  return std::fabs(baseline - current) / (baseline + 1.0f);
}

float relative_drift(float baseline_isotropy, float baseline_coverage,
                     float baseline_distinctiveness, float current_isotropy,
                     float current_coverage, float current_distinctiveness) {
  const float isotropy_change = relative_change(baseline_isotropy, current_isotropy);
  const float coverage_change = relative_change(baseline_coverage, current_coverage);
  const float distinctiveness_change =
      relative_change(baseline_distinctiveness, current_distinctiveness);
  return ((isotropy_change + coverage_change) + distinctiveness_change) / 3.0f;
}

Shadowed detect_drift(const EmbeddingBatch& baseline, const EmbeddingBatch& current,
                      const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  if (baseline.empty() || current.empty()) return {};
  // Coverage is the only measure that can reject a batch, so both coverages
  // come first, the baseline's before the current one's: a failing batch
  // fails with the same failure as when the six measures run one after
  // the other, and nothing is returned. Isotropy and distinctiveness of
  // each batch then share one normalisation and one pass over its pairs.
  const Shadowed baseline_coverage = compute_coverage(baseline);
  const Shadowed current_coverage = compute_coverage(current);
  const KernelPath path = kernel_path_for(options);
  const PairMeasures baseline_pairs = pair_measures_on_path(baseline, path, options);
  const PairMeasures current_pairs = pair_measures_on_path(current, path, options);
  return {relative_drift(baseline_pairs.isotropy, baseline_coverage.value, baseline_pairs.distinctiveness,
                         current_pairs.isotropy, current_coverage.value, current_pairs.distinctiveness),
          sound_drift(baseline_pairs.isotropy_shadow, baseline_coverage.shadow,
                      baseline_pairs.distinctiveness_shadow, current_pairs.isotropy_shadow,
                      current_coverage.shadow, current_pairs.distinctiveness_shadow)};
}

}  // namespace metrics
