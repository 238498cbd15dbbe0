#include "float_environment.hpp"
#include "float_ops.hpp"
#include "metrics.hpp"

namespace metrics {

float compute_coverage(const EmbeddingBatch& embeddings) {
  const DefaultFloatEnvironment float_environment;
  const std::size_t n = embeddings.rows();
  if (n < 2) return 0.0f;
  const std::size_t d = embeddings.dimension();
  if (d == 0) return 0.0f;

  // Each dimension accumulates in row order; a short row only reaches its
  // first len(r) dimensions, and the missing elements are skipped rather than
  // counted as zeros. The loops run across dimensions, so they vectorise
  // without changing any dimension's order of summation.
  Buffer<float> mean(d, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    std::span<const float> r = embeddings.row(i);
    if (r.size() > d) fail_index_out_of_bounds(d, d);
    for (std::size_t k = 0; k < r.size(); ++k) mean[k] = mean[k] + r[k];
  }
  // Divided by the number of rows n, including short and empty rows.
  const float rows = count_to_float(n);
  for (std::size_t k = 0; k < d; ++k) mean[k] = mean[k] / rows;

  Buffer<float> variance(d, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    std::span<const float> r = embeddings.row(i);
    for (std::size_t k = 0; k < r.size(); ++k) {
      float diff = r[k] - mean[k];
      float square = diff * diff;
      variance[k] = variance[k] + square;
    }
  }
  for (std::size_t k = 0; k < d; ++k) variance[k] = variance[k] / rows;

  float total = 0.0f;
  for (std::size_t k = 0; k < d; ++k) total = total + variance[k];
  const float v = total / count_to_float(d);
  const float w = v / (v + 1.0f);
  // A NaN w (non-finite data, or an infinite variance) becomes exactly 1.
  return min_ignoring_nan(w, 1.0f);
}

}  // namespace metrics
