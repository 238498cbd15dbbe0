#include "drift.hpp"
#include "exact_sums/sound_formulas.hpp"
#include "float_environment.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_measures.hpp"
#include "pairs.hpp"
#include "quality_score.hpp"

namespace metrics {

BatchMeasures compute_batch_measures(const EmbeddingBatch& embeddings, const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  // A batch without rows has every measure 0 and a quality score of 0.
  if (embeddings.empty()) return {};
  // Coverage first: it is the only measure that can reject the batch, and
  // the quality score fails the same way when it does.
  BatchMeasures measures;
  const Shadowed coverage = compute_coverage(embeddings);
  // When the spread needs a second pass over the pairs, progress counts
  // both against one total (pair_measures.cpp).
  const PairMeasures pair = pair_measures_on_path(embeddings, kernel_path_for(options), options);
  measures.isotropy = pair.isotropy;
  measures.coverage = coverage.value;
  measures.distinctiveness = pair.distinctiveness;
  measures.quality_score = combine_quality(pair.isotropy, measures.coverage, pair.distinctiveness);
  measures.shadow.isotropy = pair.isotropy_shadow;
  measures.shadow.coverage = coverage.shadow;
  measures.shadow.distinctiveness = pair.distinctiveness_shadow;
  measures.shadow.quality_score =
      sound_quality_score(pair.isotropy_shadow, coverage.shadow, pair.distinctiveness_shadow);
  return measures;
}

Shadowed drift_between(const BatchMeasures& baseline, const BatchMeasures& current) {
  const DefaultFloatEnvironment float_environment;
  return {relative_drift(baseline.isotropy, baseline.coverage, baseline.distinctiveness, current.isotropy,
                         current.coverage, current.distinctiveness),
          sound_drift(baseline.shadow.isotropy, baseline.shadow.coverage, baseline.shadow.distinctiveness,
                      current.shadow.isotropy, current.shadow.coverage, current.shadow.distinctiveness)};
}

}  // namespace metrics
