#include "pairs.hpp"

#include <cfloat>
#include <cmath>

namespace metrics {

float sum_of_squares(std::span<const float> row) {
  float ss = 0.0f;
  for (std::size_t k = 0; k < row.size(); ++k) {
    const float square = row[k] * row[k];
    ss = ss + square;
  }
  return ss;
}

std::optional<int> extreme_row_exponent(std::span<const float> row, float ss) {
  // Normal, or NaN (a NaN in the row): left as it is.
  if ((ss >= FLT_MIN && ss <= FLT_MAX) || std::isnan(ss)) return std::nullopt;
  float largest = 0.0f;
  for (float value : row) {
    // An infinite element makes the row's direction meaningless: it keeps
    // the float32 treatment (NaN where the infinities were).
    if (!std::isfinite(value)) return std::nullopt;
    largest = std::fmax(largest, std::fabs(value));
  }
  if (largest == 0.0f) return std::nullopt;
  int exponent = 0;
  (void)std::frexp(largest, &exponent);
  return exponent;
}

EmbeddingBatch normalize_embeddings(const EmbeddingBatch& embeddings, bool scale_extreme_rows) {
  EmbeddingBatch normalized = EmbeddingBatch::with_shape_of(embeddings);
  const std::size_t n = embeddings.rows();
  for (std::size_t i = 0; i < n; ++i) {
    std::span<const float> r = embeddings.row(i);
    std::span<float> out = normalized.writable_row(i);
    if (r.empty()) continue;

    float ss = sum_of_squares(r);
    if (scale_extreme_rows) {
      if (const std::optional<int> exponent = extreme_row_exponent(r, ss)) {
        // Scaled in place in the copy (ldexp is exact but where a tiny
        // element of a huge row underflows), then normalised from there.
        for (std::size_t k = 0; k < r.size(); ++k) out[k] = std::ldexp(r[k], -*exponent);
        r = out;
        ss = sum_of_squares(r);
      }
    }

    if (!(ss > 0.0f)) {
      // ss is 0 (all zeros, or every square underflowed) or NaN: exact copy.
      for (std::size_t k = 0; k < r.size(); ++k) out[k] = r[k];
      continue;
    }

    // Correctly rounded square root; a true division per element, never a
    // multiplication by 1/q. An infinite ss (finite elements whose squares
    // overflow) gives zeros, an infinite element gives NaN.
    const float q = std::sqrt(ss);
    for (std::size_t k = 0; k < r.size(); ++k) out[k] = r[k] / q;
  }
  return normalized;
}

float dot_product(std::span<const float> a, std::span<const float> b) {
  const std::size_t m = a.size() < b.size() ? a.size() : b.size();
  float total = 0.0f;
  for (std::size_t k = 0; k < m; ++k) {
    float product = a[k] * b[k];
    total = total + product;
  }
  return total;
}

}  // namespace metrics
