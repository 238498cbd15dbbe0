#include <cmath>

#include "float_environment.hpp"
#include "float_ops.hpp"
#include "metrics.hpp"

namespace metrics {

namespace {

// The float64 shadow of coverage's sums needs no order, only soundness: it
// adds each dimension's values in float32 over blocks of this many rows and
// carries each block's sum into float64. A block sum of 256 terms is good
// to about 256 units in the last place of a float, far inside the tolerance
// the shadow is compared at, and costs a float32 addition per value where a
// float64 one costs a conversion and twice the vector lanes.
constexpr std::size_t kShadowBlockRows = 256;

// Carries the block sums into the float64 totals and empties the blocks.
void carry_blocks(Buffer<float>& blocks, Buffer<double>& totals) {
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    totals[k] = totals[k] + static_cast<double>(blocks[k]);
    blocks[k] = 0.0f;
  }
}

}  // namespace

Shadowed compute_coverage(const EmbeddingBatch& embeddings) {
  const DefaultFloatEnvironment float_environment;
  const std::size_t n = embeddings.rows();
  if (n < 2) return {};
  const std::size_t d = embeddings.dimension();
  if (d == 0) return {};

  // Each dimension accumulates in row order; a short row only reaches its
  // first len(r) dimensions, and the missing elements are skipped rather than
  // counted as zeros. The loops run across dimensions, so they vectorise
  // without changing any dimension's order of summation.
  Buffer<float> mean(d, 0.0f);
  Buffer<float> blocks(d, 0.0f);
  Buffer<double> shadow(d, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    std::span<const float> r = embeddings.row(i);
    if (r.size() > d) fail_index_out_of_bounds(d, d);
    for (std::size_t k = 0; k < r.size(); ++k) {
      mean[k] = mean[k] + r[k];
      blocks[k] = blocks[k] + r[k];
    }
    if ((i + 1) % kShadowBlockRows == 0) carry_blocks(blocks, shadow);
  }
  carry_blocks(blocks, shadow);
  // Divided by the number of rows n, including short and empty rows.
  const float rows = count_to_float(n);
  const auto rows_shadow = static_cast<double>(n);
  // The shadow's spread is taken around its own mean, rounded to float32.
  Buffer<float> centre(d);
  for (std::size_t k = 0; k < d; ++k) {
    mean[k] = mean[k] / rows;
    centre[k] = static_cast<float>(shadow[k] / rows_shadow);
    shadow[k] = 0.0;
  }

  Buffer<float> variance(d, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    std::span<const float> r = embeddings.row(i);
    for (std::size_t k = 0; k < r.size(); ++k) {
      const float diff = r[k] - mean[k];
      const float square = diff * diff;
      variance[k] = variance[k] + square;
      const float shadow_diff = r[k] - centre[k];
      blocks[k] = blocks[k] + shadow_diff * shadow_diff;
    }
    if ((i + 1) % kShadowBlockRows == 0) carry_blocks(blocks, shadow);
  }
  carry_blocks(blocks, shadow);

  float total = 0.0f;
  double total_shadow = 0.0;
  for (std::size_t k = 0; k < d; ++k) {
    total = total + variance[k] / rows;
    total_shadow = total_shadow + shadow[k] / rows_shadow;
  }
  const float v = total / count_to_float(d);
  const float w = v / (v + 1.0f);
  const double v_shadow = total_shadow / static_cast<double>(d);
  const double w_shadow = v_shadow / (v_shadow + 1.0);
  // A NaN w (non-finite data, or an infinite variance) becomes exactly 1.
  return {min_ignoring_nan(w, 1.0f), std::fmin(w_shadow, 1.0)};
}

}  // namespace metrics
