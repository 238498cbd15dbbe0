#include "metrics.hpp"

#include <cstring>

namespace metrics {

EmbeddingBatch EmbeddingBatch::borrowing(const float* values, std::size_t rows, std::size_t dimension,
                                         std::unique_ptr<MemoryKeeper> keeper) noexcept {
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
  std::size_t first = values_.size();
  starts_.reserve(starts_.size() + n);
  values_.resize(first + n * d);
  for (std::size_t i = 0; i < n; ++i) starts_.push_back(first + i * d);
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
