#include <bit>
#include <cstdint>

#include "buffer.hpp"
#include "float_environment.hpp"
#include "metrics.hpp"
#include "parallel_parts.hpp"

namespace metrics {

namespace {

// A value is NaN or infinite when its exponent bits are all set. Testing
// the bits rather than calling isfinite lets the row's loop run as plain
// integer vector operations, with no branch and no early exit.
bool row_is_finite(std::span<const float> row) {
  std::uint32_t non_finite = 0;
  for (float value : row) {
    non_finite |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(value) & 0x7f800000u) == 0x7f800000u);
  }
  return non_finite == 0;
}

NonFiniteRows scan(const EmbeddingBatch& embeddings, std::size_t begin, std::size_t end) {
  NonFiniteRows found;
  found.first = embeddings.rows();
  for (std::size_t i = begin; i < end; ++i) {
    if (row_is_finite(embeddings.row(i))) continue;
    if (found.count == 0) found.first = i;
    ++found.count;
  }
  return found;
}

// Values per thread below which the scan stays on fewer threads.
constexpr std::size_t kValuesPerPart = std::size_t{1} << 19;

}  // namespace

NonFiniteRows find_non_finite_rows(const EmbeddingBatch& embeddings, unsigned threads) {
  const DefaultFloatEnvironment float_environment;
  const std::size_t n = embeddings.rows();
  const std::size_t parts = parts_for(threads, embeddings.value_count(), kValuesPerPart, n);
  if (parts == 1) return scan(embeddings, 0, n);
  // Contiguous runs of rows; the first row found is the first of the
  // earliest run that found one.
  Buffer<NonFiniteRows> found(parts);
  run_parts(parts, [&](std::size_t p) { found[p] = scan(embeddings, n * p / parts, n * (p + 1) / parts); });
  NonFiniteRows all;
  all.first = n;
  for (const NonFiniteRows& part : found) {
    if (part.count > 0 && all.count == 0) all.first = part.first;
    all.count += part.count;
  }
  return all;
}

}  // namespace metrics
