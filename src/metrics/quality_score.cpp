#include "quality_score.hpp"

#include "exact_sums/sound_formulas.hpp"
#include "float_environment.hpp"
#include "float_ops.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_measures.hpp"

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

Shadowed compute_quality_score(const EmbeddingBatch& embeddings, const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  if (embeddings.empty()) return {};
  // Coverage is the only measure that can reject the batch. Taking it first
  // fails the same way with nothing returned, and lets isotropy and
  // distinctiveness share one normalisation and one pass over the pairs.
  const Shadowed coverage = compute_coverage(embeddings);
  const PairMeasures pair = pair_measures_on_path(embeddings, kernel_path_for(options), options);
  return {combine_quality(pair.isotropy, coverage.value, pair.distinctiveness),
          sound_quality_score(pair.isotropy_shadow, coverage.shadow, pair.distinctiveness_shadow)};
}

}  // namespace metrics
