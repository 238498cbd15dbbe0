// Random embedding batches for comparing the fast paths with the scalar
// reference: plain Gaussian rows, ragged rows, and rows seeded with the
// values that make float32 arithmetic interesting.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>

#include "float_bits.hpp"
#include "metrics.hpp"

namespace test_batches {

// Bit equality, except that any NaN matches any NaN: a NaN's payload depends
// on operand order, and no result the kernels return can carry one.
inline bool same_float(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b);
}

struct BatchRecipe {
  std::size_t rows = 0;
  std::size_t dimension = 0;
  // Row lengths drawn from [0, dimension + dimension / 4], row 0 included
  // unless row_zero_longest gives it the largest length, as coverage needs.
  bool ragged = false;
  // Chance that an element is replaced by NaN, an infinity, a value whose
  // square overflows (1e20), one whose square underflows (1e-30) or a zero.
  double special_rate = 0.0;
  // Chance that a whole row is zero, underflowing, overflowing, or a copy
  // (possibly negated) of an earlier row, whose similarity lands next to 1.
  double special_row_rate = 0.0;
  bool row_zero_longest = false;
  // The mean of every element. Around 0 the rows point every which way and
  // distinctiveness is capped at 1; a mean well above the spread (2, with
  // the spread 1) crowds the rows into a cone, with similarities near 0.8,
  // where neither isotropy nor distinctiveness is clamped.
  float mean = 0.1f;
};

inline float special_value(std::mt19937& rng) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const float values[] = {std::numeric_limits<float>::quiet_NaN(), kInf, -kInf, 1e20f, -1e20f,
                          1e-30f, -1e-30f, 0.0f, -0.0f};
  return values[std::uniform_int_distribution<std::size_t>(0, std::size(values) - 1)(rng)];
}

inline metrics::EmbeddingBatch random_batch(std::mt19937& rng, const BatchRecipe& recipe) {
  std::normal_distribution<float> gaussian(recipe.mean, 1.0f);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::uniform_int_distribution<std::size_t> length(0, recipe.dimension + recipe.dimension / 4);
  metrics::EmbeddingBatch batch;
  for (std::size_t i = 0; i < recipe.rows; ++i) {
    std::size_t len = recipe.ragged ? length(rng) : recipe.dimension;
    if (recipe.ragged && recipe.row_zero_longest) {
      len = i == 0 ? recipe.dimension + recipe.dimension / 4 : length(rng);
    }
    const bool special_row = chance(rng) < recipe.special_row_rate;
    const int kind = std::uniform_int_distribution<int>(0, 4)(rng);
    batch.start_row();
    if (special_row && kind == 4 && i > 0) {
      // A copy of an earlier row, negated half the time; where this row is
      // longer than its source the rest is fresh Gaussian values.
      const std::size_t source = std::uniform_int_distribution<std::size_t>(0, i - 1)(rng);
      const float sign = chance(rng) < 0.5 ? 1.0f : -1.0f;
      const std::size_t source_length = batch.row(source).size();
      for (std::size_t k = 0; k < len; ++k) {
        batch.push(k < source_length ? sign * batch.row(source)[k] : gaussian(rng));
      }
      continue;
    }
    for (std::size_t k = 0; k < len; ++k) {
      float value = gaussian(rng);
      if (special_row) {
        const float scale[] = {0.0f, 1e-30f, 1e20f, 1.0f};
        value = kind < 4 ? value * scale[kind] : value;
      }
      if (chance(rng) < recipe.special_rate) value = special_value(rng);
      batch.push(value);
    }
  }
  return batch;
}

}  // namespace test_batches
