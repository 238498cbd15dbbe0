#include "metrics.hpp"

#include <cstring>
#include <limits>

namespace metrics {

EmbeddingBatch EmbeddingBatch::borrowing(const float* values, std::size_t rows, std::size_t dimension,
                                         std::unique_ptr<MemoryKeeper> keeper) {
  // values() and row() multiply these unchecked.
  const std::optional<std::size_t> count = checked_product<std::size_t>(rows, dimension);
  if (!count || !checked_product<std::ptrdiff_t>(*count, sizeof(float)))
    throw InternalFailure("a borrowed rectangle larger than the address space");
  EmbeddingBatch batch;
  batch.borrowed_values_ = values;
  batch.borrowed_rows_ = rows;
  batch.borrowed_dimension_ = dimension;
  batch.keeper_ = std::move(keeper);
  return batch;
}

void EmbeddingBatch::make_owned() {
  if (!borrowed()) return;
  EmbeddingBatch owned;
  const std::span<const float> all = values();
  float* out = owned.append_rectangle(rows(), dimension());
  if (!all.empty()) std::memcpy(out, all.data(), all.size_bytes());
  *this = std::move(owned);
}

void EmbeddingBatch::require_owned() const {
  if (borrowed()) throw InternalFailure("a borrowed batch is read-only");
}

std::span<float> EmbeddingBatch::writable_row(std::size_t i) {
  require_owned();
  std::size_t begin = starts_[i];
  std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : values_.size();
  return {values_.data() + begin, end - begin};
}

float* EmbeddingBatch::append_rectangle(std::size_t n, std::size_t d) {
  require_owned();
  // n and d come from a producer's shape: n * d and the totals are checked
  // before any storage is sized by them (an unchecked n * d once sized the
  // batch with a wrapped count and the copy wrote past it).
  const std::optional<std::size_t> added = checked_product<std::size_t>(n, d);
  if (!added) throw AllocationFailure(std::numeric_limits<std::size_t>::max());
  const std::size_t first = values_.size();
  const std::size_t values = require_storage<float>(first, *added);
  const std::size_t rows = require_storage<std::size_t>(starts_.size(), n);
  starts_.reserve(rows);
  values_.resize(values);
  // i * d < n * d, which fits.
  for (std::size_t i = 0; i < n; ++i) starts_.push_back(first + i * d);
  return values_.data() + first;
}

float* EmbeddingBatch::append_values(std::size_t n) {
  require_owned();
  const std::size_t first = values_.size();
  values_.resize(require_storage<float>(first, n));
  return values_.data() + first;
}

EmbeddingBatch EmbeddingBatch::with_shape_of(const EmbeddingBatch& shape) {
  EmbeddingBatch copy;
  if (shape.borrowed()) {
    copy.append_rectangle(shape.rows(), shape.dimension());
    return copy;
  }
  copy.starts_ = shape.starts_;
  copy.values_.resize(shape.values_.size());
  return copy;
}

EmbeddingBatch EmbeddingBatch::from_rows(std::initializer_list<std::initializer_list<float>> rows) {
  EmbeddingBatch batch;
  for (const auto& row : rows) {
    batch.start_row();
    for (float value : row) batch.push(value);
  }
  return batch;
}

}  // namespace metrics
