// Reference implementations of the pair-loop kernels (isotropy and
// distinctiveness) and the combining arithmetic of the quality score and drift.
//
// These are the plain scalar forms, one operation per step of the
// definition. The public kernels run the pair kernel instead
// (pair_measures.hpp), which must agree with them bit for bit on every path.
// Internal to the metrics module.
#pragma once

#include "metrics.hpp"

namespace metrics {

namespace reference {

// 1 - mean |cosine| over all pairs, in [0, 1].
float isotropy_reference(const EmbeddingBatch& embeddings);

// (1 - |e|) * (s + 1) over the signed pair cosines,
// clamped to [0, 1].
float distinctiveness_reference(const EmbeddingBatch& embeddings);

}  // namespace reference

// (iso*0.4f + cov*0.3f) + dist*0.3f, each product
// rounded on its own, then max(., 0) and min(., 1) ignoring NaN.
float combine_quality(float isotropy, float coverage, float distinctiveness);

// |baseline - current| / (baseline + 1.0f).
float relative_change(float baseline, float current);

// ((rc_iso + rc_cov) + rc_dist) / 3.0f, unclamped.
float relative_drift(float baseline_isotropy, float baseline_coverage,
                     float baseline_distinctiveness, float current_isotropy,
                     float current_coverage, float current_distinctiveness);

}  // namespace metrics
