#include "metrics.hpp"

namespace metrics {

float* EmbeddingBatch::append_rectangle(std::size_t n, std::size_t d) {
  std::size_t first = values_.size();
  starts_.reserve(starts_.size() + n);
  values_.resize(first + n * d);
  for (std::size_t i = 0; i < n; ++i) starts_.push_back(first + i * d);
  return values_.data() + first;
}

EmbeddingBatch EmbeddingBatch::with_shape_of(const EmbeddingBatch& shape) {
  EmbeddingBatch copy;
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
