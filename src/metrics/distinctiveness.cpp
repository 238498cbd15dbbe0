#include <cmath>

#include "buffer.hpp"
#include "float_environment.hpp"
#include "float_ops.hpp"
#include "kernel_path.hpp"
#include "metrics.hpp"
#include "pair_measures.hpp"
#include "pairs.hpp"
#include "reference.hpp"

namespace metrics {

namespace reference {

float distinctiveness_reference(const EmbeddingBatch& embeddings) {
  // 1. Degenerate input, before anything is allocated.
  const std::size_t n = embeddings.rows();
  if (n < 2) return 0.0f;
  if (embeddings.row(0).empty()) return 0.0f;

  const std::uint64_t pairs = pair_count(n);
  const float p = count_to_float(pairs);
  float e;
  float dev;
  {
    // 2. The normalised copy.
    const EmbeddingBatch normalised = normalize_embeddings(embeddings);

    // 3. One signed similarity per pair, in pair order. The list's growth
    // policy is not observable, so it is sized once to the pair count.
    Buffer<float> similarities;
    similarities.reserve(static_cast<std::size_t>(pairs));
    for_each_pair(n, [&](std::size_t i, std::size_t j) {
      similarities.push_back(dot_product(normalised.row(i), normalised.row(j)));
    });

    // 4. Mean of the similarities, summed in list order.
    float sum = 0.0f;
    for (float x : similarities) sum = sum + x;
    e = sum / p;

    // 5. Sum of squared deviations in list order: difference rounded, square
    // rounded, then added.
    dev = 0.0f;
    for (float x : similarities) {
      float diff = x - e;
      float square = diff * diff;
      dev = dev + square;
    }
    // 6. The similarity list and the normalised copy are released here.
  }

  // 7. Population standard deviation.
  const float s = std::sqrt(dev / p);
  // 8.
  const float t = (1.0f - std::fabs(e)) * (s + 1.0f);
  // 9. min first, then max; a NaN t gives exactly 1.
  return max_ignoring_nan(min_ignoring_nan(t, 1.0f), 0.0f);
}

}  // namespace reference

float compute_distinctiveness(const EmbeddingBatch& embeddings, const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  return distinctiveness_on_path(embeddings, fastest_kernel_path(), options);
}

}  // namespace metrics
