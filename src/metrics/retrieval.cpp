// precision, recall, F1, MRR and NDCG of one ranked identifier list.
#include <algorithm>

#include "float_environment.hpp"
#include "float_ops.hpp"
#include "identifier_set.hpp"
#include "log2f.hpp"
#include "metrics.hpp"

namespace metrics {

namespace {

// min(max(x, 0), 1) with the NaN-ignoring min and max.
float clamp_unit(float x) { return min_ignoring_nan(max_ignoring_nan(x, 0.0f), 1.0f); }

// numerator / divisor, or 0 when the divisor is not greater than 0.
float ratio_or_zero(float numerator, float divisor) {
  return divisor > 0.0f ? numerator / divisor : 0.0f;
}

}  // namespace

RetrievalMetrics compute_retrieval_metrics(std::span<const std::uint64_t> retrieved,
                                           std::span<const std::uint64_t> relevant,
                                           std::uint64_t top_k) {
  const DefaultFloatEnvironment float_environment;
  // Both sets, over the whole of each list.
  const IdentifierSet retrieved_set(retrieved);
  const IdentifierSet relevant_set(relevant);

  // The hit count.
  const float hits = count_to_float(intersection_size(retrieved_set, relevant_set));

  const std::uint64_t cutoff = std::min<std::uint64_t>(top_k, retrieved.size());
  const std::uint64_t ideal_depth = std::min<std::uint64_t>(top_k, relevant.size());

  // Raw precision over the cut-off, raw recall over the length
  // of `relevant` (duplicates included). Both counts are positive exactly when
  // their float conversions are.
  const float raw_precision = ratio_or_zero(hits, count_to_float(cutoff));
  const float raw_recall = ratio_or_zero(hits, count_to_float(relevant.size()));

  // F1 from the unclamped P and R: P * R, doubled by adding it to
  // itself, divided by P + R.
  const float sum = raw_precision + raw_recall;
  float f1 = 0.0f;
  if (sum > 0.0f) {
    const float product = raw_precision * raw_recall;
    const float doubled = product + product;
    f1 = clamp_unit(doubled / sum);
  }

  // Reciprocal rank of the first relevant position of the whole list,
  // whatever top_k is.
  float mrr = 0.0f;
  if (!retrieved.empty() && !relevant_set.empty()) {
    for (std::size_t i = 0; i < retrieved.size(); ++i) {
      if (relevant_set.contains(retrieved[i])) {
        mrr = clamp_unit(1.0f / (count_to_float(i) + 1.0f));
        break;
      }
    }
  }

  // DCG over the first `cutoff` positions, each position tested by
  // itself, so a repeated identifier scores at each of its positions.
  float dcg = 0.0f;
  if (top_k > 0 && !relevant_set.empty()) {
    for (std::uint64_t i = 0; i < cutoff; ++i) {
      if (relevant_set.contains(retrieved[static_cast<std::size_t>(i)])) {
        dcg = dcg + position_weight(i);
      }
    }
  }

  // The ideal DCG over min(top_k, length of relevant) positions.
  float ideal_dcg = 0.0f;
  for (std::uint64_t i = 0; i < ideal_depth; ++i) ideal_dcg = ideal_dcg + position_weight(i);
  const float ndcg = ideal_dcg > 0.0f ? clamp_unit(dcg / ideal_dcg) : 0.0f;

  // The clamped record; the sets are released on return.
  RetrievalMetrics result;
  result.precision = clamp_unit(raw_precision);
  result.recall = clamp_unit(raw_recall);
  result.f1_score = f1;
  result.mrr = mrr;
  result.ndcg = ndcg;
  return result;
}

}  // namespace metrics
