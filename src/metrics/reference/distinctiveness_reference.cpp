#include "reference.hpp"

#include <cmath>

#include "buffer.hpp"
#include "float_ops.hpp"
#include "metrics.hpp"
#include "pairs.hpp"

namespace metrics {

namespace reference {

float distinctiveness_reference(const EmbeddingBatch& embeddings) {
  // Degenerate input, before anything is allocated.
  const std::size_t n = embeddings.rows();
  if (n < 2) return 0.0f;
  if (embeddings.row(0).empty()) return 0.0f;

  const std::uint64_t pairs = pair_count(n);
  const float p = count_to_float(pairs);
  float e;
  float dev;
  {
    // The normalised copy.
    const EmbeddingBatch normalized = normalize_embeddings(embeddings);

    // One signed similarity per pair, in pair order. The list's growth
    // policy is not observable, so it is sized once to the pair count.
    Buffer<float> similarities;
    similarities.reserve(static_cast<std::size_t>(pairs));
    for_each_pair(n, [&](std::size_t i, std::size_t j) {
      similarities.push_back(dot_product(normalized.row(i), normalized.row(j)));
    });

    // Mean of the similarities, summed in list order.
    float sum = 0.0f;
    for (float x : similarities) sum = sum + x;
    e = sum / p;

    // Sum of squared deviations in list order: difference rounded, square
    // rounded, then added.
    dev = 0.0f;
    for (float x : similarities) {
      float diff = x - e;
      float square = diff * diff;
      dev = dev + square;
    }
    // The similarity list and the normalised copy are released here.
  }

  // Population standard deviation.
  const float s = std::sqrt(dev / p);
  const float t = (1.0f - std::fabs(e)) * (s + 1.0f);
  // Capped at 1 first, then lifted to 0: a NaN t gives exactly 1.
  return max_ignoring_nan(min_ignoring_nan(t, 1.0f), 0.0f);
}

}  // namespace reference

}  // namespace metrics
