// The measures on exact sums: the package's summation, beside the library's
// float32 running sums (pair_measures.cpp).
//
// Coverage takes the exact per-dimension sums of the values, a range of
// dimensions at a time so that its state stays small whatever the row
// length, with the rows split among the threads. Isotropy and
// distinctiveness take the exact sums of the same similarities the float32
// kernels sum (rows whose squares overflow or underflow first scaled by a
// power of two), each thread summing the panels it fills.
#include "exact_sums/dimension_sums.hpp"
#include "exact_sums/sound_formulas.hpp"
#include "float_environment.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_kernel/pair_similarities.hpp"

namespace metrics {

namespace {

// Dimensions per state: about 1.7 MB of sums each, and a whole typical row.
constexpr std::size_t kDimensionRange = 4096;

double sound_coverage(const EmbeddingBatch& embeddings, KernelPath path, unsigned threads) {
  const std::size_t n = embeddings.rows();
  if (n < 2) return 0.0;
  const std::size_t d = embeddings.dimension();
  if (d == 0) return 0.0;
  require_rows_within(embeddings, d);
  VarianceTotal total;
  for (std::size_t first = 0; first < d && !total.non_finite(); first += kDimensionRange) {
    const std::size_t width = d - first < kDimensionRange ? d - first : kDimensionRange;
    DimensionSums sums = DimensionSums::of_rows(embeddings, first, width, path, threads);
    total.add(sums, n, threads);
  }
  return total.coverage(d);
}

SoundPairMeasures sound_pairs(const EmbeddingBatch& embeddings, KernelPath path, const PassOptions& options) {
  if (embeddings.rows() < 2 || embeddings.row(0).empty()) return {};
  const PairSimilarities similarities(embeddings, path, options.threads, /*scale_extreme_rows=*/true);
  return sound_pair_measures(similarities.exact_sums(options));
}

}  // namespace

SoundMeasures compute_sound_measures(const EmbeddingBatch& embeddings, const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  if (embeddings.empty()) return {};
  const KernelPath path = kernel_path_for(options);
  SoundMeasures measures;
  // Coverage first: it is the only measure that can reject the batch.
  measures.coverage = sound_coverage(embeddings, path, options.threads);
  const SoundPairMeasures pairs = sound_pairs(embeddings, path, options);
  measures.isotropy = pairs.isotropy;
  measures.distinctiveness = pairs.distinctiveness;
  measures.quality_score = sound_quality_score(measures.isotropy, measures.coverage, measures.distinctiveness);
  return measures;
}

double sound_drift_between(const SoundMeasures& baseline, const SoundMeasures& current) {
  return sound_drift(baseline.isotropy, baseline.coverage, baseline.distinctiveness, current.isotropy,
                     current.coverage, current.distinctiveness);
}

}  // namespace metrics
