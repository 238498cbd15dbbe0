#include <cmath>

#include "metrics.hpp"
#include "reference.hpp"

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

float detect_drift(const EmbeddingBatch& baseline, const EmbeddingBatch& current) {
  if (baseline.empty() || current.empty()) return 0.0f;
  // Six measures in this order; a failure (coverage's bounds failure) stops
  // the sequence at that measure.
  const float baseline_isotropy = compute_isotropy(baseline);
  const float baseline_coverage = compute_coverage(baseline);
  const float baseline_distinctiveness = compute_distinctiveness(baseline);
  const float current_isotropy = compute_isotropy(current);
  const float current_coverage = compute_coverage(current);
  const float current_distinctiveness = compute_distinctiveness(current);
  return relative_drift(baseline_isotropy, baseline_coverage, baseline_distinctiveness,
                        current_isotropy, current_coverage, current_distinctiveness);
}

}  // namespace metrics
