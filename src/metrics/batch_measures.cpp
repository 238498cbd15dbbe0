#include "drift.hpp"
#include "exact_sums/sound_formulas.hpp"
#include "float_environment.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_measures.hpp"
#include "pairs.hpp"
#include "quality_score.hpp"

namespace metrics {

namespace {

// The caller watches one batch, not the passes inside it: when the spread
// needs a second pass over the pairs, that pass continues the first one's
// count, so progress rises steadily to one total.
class PassesAsOne {
 public:
  PassesAsOne(const PassMonitor& outer, std::uint64_t pairs)
      : outer_(outer), pairs_(pairs), total_(keeps_similarity_list(pairs) ? pairs : 2 * pairs) {}

  PassOptions wrapping(const PassOptions& options) {
    PassOptions wrapped = options;
    if (outer_.between_panels != nullptr) wrapped.monitor = {&PassesAsOne::forward, this};
    return wrapped;
  }

 private:
  static void forward(void* context, std::uint64_t done, std::uint64_t) {
    auto& self = *static_cast<PassesAsOne*>(context);
    // A count that does not grow starts the next pass.
    if (self.started_ && done <= self.last_) self.offset_ += self.pairs_;
    self.started_ = true;
    self.last_ = done;
    const std::uint64_t overall = self.offset_ + done;
    self.outer_.between_panels(self.outer_.context, overall < self.total_ ? overall : self.total_,
                               self.total_);
  }

  PassMonitor outer_;
  std::uint64_t pairs_;
  std::uint64_t total_;
  std::uint64_t offset_ = 0;
  std::uint64_t last_ = 0;
  bool started_ = false;
};

}  // namespace

BatchMeasures compute_batch_measures(const EmbeddingBatch& embeddings, const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  // A batch without rows has every measure 0 and a quality score of 0.
  if (embeddings.empty()) return {};
  // Coverage first: it is the only measure that can reject the batch, and
  // the quality score fails the same way when it does.
  BatchMeasures measures;
  const Shadowed coverage = compute_coverage(embeddings);
  PassesAsOne passes(options.monitor, pair_count(embeddings.rows()));
  const PairMeasures pair = pair_measures_on_path(embeddings, kernel_path_for(options),
                                                  passes.wrapping(options));
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
