#include <cmath>

#include "float_environment.hpp"
#include "float_ops.hpp"
#include "metrics.hpp"

namespace metrics {

Shadowed compute_coverage(const EmbeddingBatch& embeddings) {
  const DefaultFloatEnvironment float_environment;
  const std::size_t n = embeddings.rows();
  if (n < 2) return {};
  const std::size_t d = embeddings.dimension();
  if (d == 0) return {};

  // Each dimension accumulates in row order; a short row only reaches its
  // first len(r) dimensions, and the missing elements are skipped rather than
  // counted as zeros. The loops run across dimensions, so they vectorise
  // without changing any dimension's order of summation. Beside every
  // float32 sum runs its float64 shadow, in the same order.
  Buffer<float> mean(d, 0.0f);
  Buffer<double> mean_shadow(d, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    std::span<const float> r = embeddings.row(i);
    if (r.size() > d) fail_index_out_of_bounds(d, d);
    for (std::size_t k = 0; k < r.size(); ++k) {
      mean[k] = mean[k] + r[k];
      mean_shadow[k] = mean_shadow[k] + static_cast<double>(r[k]);
    }
  }
  // Divided by the number of rows n, including short and empty rows.
  const float rows = count_to_float(n);
  const auto rows_shadow = static_cast<double>(n);
  for (std::size_t k = 0; k < d; ++k) {
    mean[k] = mean[k] / rows;
    mean_shadow[k] = mean_shadow[k] / rows_shadow;
  }

  Buffer<float> variance(d, 0.0f);
  Buffer<double> variance_shadow(d, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    std::span<const float> r = embeddings.row(i);
    for (std::size_t k = 0; k < r.size(); ++k) {
      const float diff = r[k] - mean[k];
      const float square = diff * diff;
      variance[k] = variance[k] + square;
      const double shadow_diff = static_cast<double>(r[k]) - mean_shadow[k];
      const double shadow_square = shadow_diff * shadow_diff;
      variance_shadow[k] = variance_shadow[k] + shadow_square;
    }
  }

  float total = 0.0f;
  double total_shadow = 0.0;
  for (std::size_t k = 0; k < d; ++k) {
    total = total + variance[k] / rows;
    total_shadow = total_shadow + variance_shadow[k] / rows_shadow;
  }
  const float v = total / count_to_float(d);
  const float w = v / (v + 1.0f);
  const double v_shadow = total_shadow / static_cast<double>(d);
  const double w_shadow = v_shadow / (v_shadow + 1.0);
  // A NaN w (non-finite data, or an infinite variance) becomes exactly 1.
  return {min_ignoring_nan(w, 1.0f), std::fmin(w_shadow, 1.0)};
}

}  // namespace metrics
