// Normalised pair similarities: the normalised copy of a batch, the row dot
// product and the pair order shared by isotropy and distinctiveness.
// Internal to the metrics module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "metrics.hpp"

namespace metrics {

// A new batch with the same row lengths as `embeddings`, each row scaled to
// unit length: ss = r[0]*r[0] + r[1]*r[1] + ... (each square rounded, then
// added in index order); a row with ss > 0 false (all zeros, underflowing
// squares, a NaN) is copied exactly; otherwise every element is r[k] / q with
// q = sqrtf(ss), a true division. Empty rows stay empty.
//
// With scale_extreme_rows, a row of finite values whose ss overflows or
// underflows (is infinite, or below the smallest normal float while some
// element is not zero) is first multiplied by the power of two that brings
// its largest magnitude into [0.5, 1), so that its direction does not depend
// on its scale; every other row gets exactly the values above.
EmbeddingBatch normalize_embeddings(const EmbeddingBatch& embeddings, bool scale_extreme_rows = false);

// The exponent e such that a row with sum of squares `ss` (as above) should
// be scaled by 2^-e before it is normalised, or nothing when its ss is
// usable as it is (or the row holds NaN or infinity, or only zeros).
std::optional<int> extreme_row_exponent(std::span<const float> row, float ss);

// ss of a row: each square rounded, then added in index order from 0.
float sum_of_squares(std::span<const float> row);

// a[0]*b[0] + ... + a[m-1]*b[m-1] over the shorter length m, each product
// rounded and then added in index order; 0 when m is 0.
float dot_product(std::span<const float> a, std::span<const float> b);

// The number of unordered pairs of n rows, n(n - 1)/2, without intermediate
// overflow for any n a batch can hold.
inline std::uint64_t pair_count(std::size_t n) {
  const std::uint64_t rows = n;
  if (rows < 2) return 0;
  return rows % 2 == 0 ? (rows / 2) * (rows - 1) : rows * ((rows - 1) / 2);
}

// The pairs of the rows before `row_end` in the pair order: those (i, j)
// with i < row_end.
inline std::uint64_t pairs_before(std::size_t rows, std::size_t row_end) {
  if (row_end >= rows) return pair_count(rows);
  return pair_count(rows) - pair_count(rows - row_end);
}

// Calls visit(i, j) for every pair in the pair order: i from 0 to n - 2,
// j from i + 1 to n - 1, i outer and j inner.
template <class Visit>
void for_each_pair(std::size_t n, Visit&& visit) {
  for (std::size_t i = 0; i + 1 < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) visit(i, j);
  }
}

}  // namespace metrics
