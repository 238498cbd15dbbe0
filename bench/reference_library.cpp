// The scalar reference kernels behind a C interface, so that the comparison
// script can time them in the same process as the module. Built for
// benchmarking only; not part of the wheel.
#include <cstddef>

#include "metrics.hpp"
#include "reference.hpp"

namespace {

metrics::EmbeddingBatch rectangle(const float* values, std::size_t rows, std::size_t dimension) {
  metrics::EmbeddingBatch batch;
  float* out = batch.append_rectangle(rows, dimension);
  for (std::size_t t = 0; t < rows * dimension; ++t) out[t] = values[t];
  return batch;
}

}  // namespace

extern "C" {

// `values` holds `rows` rows of `dimension` float32 values, row after row.
__attribute__((visibility("default"))) float vextral_reference_isotropy(
    const float* values, std::size_t rows, std::size_t dimension) {
  return metrics::reference::isotropy_reference(rectangle(values, rows, dimension));
}

__attribute__((visibility("default"))) float vextral_reference_distinctiveness(
    const float* values, std::size_t rows, std::size_t dimension) {
  return metrics::reference::distinctiveness_reference(rectangle(values, rows, dimension));
}

}  // extern "C"
