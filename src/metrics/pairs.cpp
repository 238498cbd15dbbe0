#include "pairs.hpp"

#include <cmath>

namespace metrics {

EmbeddingBatch normalize_embeddings(const EmbeddingBatch& embeddings) {
  EmbeddingBatch normalized = EmbeddingBatch::with_shape_of(embeddings);
  const std::size_t n = embeddings.rows();
  for (std::size_t i = 0; i < n; ++i) {
    std::span<const float> r = embeddings.row(i);
    std::span<float> out = normalized.writable_row(i);
    if (r.empty()) continue;

    float ss = 0.0f;
    for (std::size_t k = 0; k < r.size(); ++k) {
      float square = r[k] * r[k];
      ss = ss + square;
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
