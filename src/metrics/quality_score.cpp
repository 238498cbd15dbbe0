#include "float_ops.hpp"
#include "metrics.hpp"
#include "reference.hpp"

namespace metrics {

float combine_quality(float isotropy, float coverage, float distinctiveness) {
  // Each product rounded on its own (no fused multiply-add), the first two
  // added, then the third.
  const float weighted_isotropy = isotropy * 0.4f;
  const float weighted_coverage = coverage * 0.3f;
  const float weighted_distinctiveness = distinctiveness * 0.3f;
  const float sum = (weighted_isotropy + weighted_coverage) + weighted_distinctiveness;
  // max with 0 first, then min with 1; a NaN sum gives 0.
  return min_ignoring_nan(max_ignoring_nan(sum, 0.0f), 1.0f);
}

float compute_quality_score(const EmbeddingBatch& embeddings) {
  if (embeddings.empty()) return 0.0f;
  // In this order: a failure in one measure (coverage's bounds failure)
  // leaves the later ones uncomputed.
  const float isotropy = compute_isotropy(embeddings);
  const float coverage = compute_coverage(embeddings);
  const float distinctiveness = compute_distinctiveness(embeddings);
  return combine_quality(isotropy, coverage, distinctiveness);
}

}  // namespace metrics
