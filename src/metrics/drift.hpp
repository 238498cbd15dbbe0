// Drift's combining formula: the mean relative change of the three measures.
// Internal to the metrics module.
#pragma once

namespace metrics {

// |baseline - current| / (baseline + 1.0f).
float relative_change(float baseline, float current);

// ((rc_iso + rc_cov) + rc_dist) / 3.0f, unclamped.
float relative_drift(float baseline_isotropy, float baseline_coverage,
                     float baseline_distinctiveness, float current_isotropy,
                     float current_coverage, float current_distinctiveness);

}  // namespace metrics
