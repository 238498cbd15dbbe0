#include "reference.hpp"

#include <cmath>

#include "float_ops.hpp"
#include "metrics.hpp"
#include "pairs.hpp"

namespace metrics {

namespace reference {

float isotropy_reference(const EmbeddingBatch& embeddings) {
  // Degenerate input, before anything is allocated.
  const std::size_t n = embeddings.rows();
  if (n < 2) return 0.0f;
  if (embeddings.row(0).empty()) return 0.0f;

  // The normalised copy; released when it goes out of scope, on every path.
  const EmbeddingBatch normalized = normalize_embeddings(embeddings);

  // One running sum of |similarity| in pair order. A pair involving an
  // empty row contributes 0 but still counts.
  float total = 0.0f;
  for_each_pair(n, [&](std::size_t i, std::size_t j) {
    float similarity = dot_product(normalized.row(i), normalized.row(j));
    total = total + std::fabs(similarity);
  });

  // Mean over the pair count, converted to float32.
  const float mean = total / count_to_float(pair_count(n));
  // A NaN mean becomes 1; similarities rounded above 1 are capped.
  const float capped = min_ignoring_nan(mean, 1.0f);
  return max_ignoring_nan(1.0f - capped, 0.0f);
}

}  // namespace reference

}  // namespace metrics
