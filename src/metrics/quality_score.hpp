// The quality score's combining formula, shared by compute_quality_score and
// compute_batch_measures. Internal to the metrics module.
#pragma once

namespace metrics {

// (iso*0.4f + cov*0.3f) + dist*0.3f, each product
// rounded on its own, then max(., 0) and min(., 1) ignoring NaN.
float combine_quality(float isotropy, float coverage, float distinctiveness);

}  // namespace metrics
