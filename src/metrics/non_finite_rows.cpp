#include <cmath>

#include "float_environment.hpp"
#include "metrics.hpp"

namespace metrics {

NonFiniteRows find_non_finite_rows(const EmbeddingBatch& embeddings) {
  const DefaultFloatEnvironment float_environment;
  NonFiniteRows found;
  found.first = embeddings.rows();
  for (std::size_t i = 0; i < embeddings.rows(); ++i) {
    bool finite = true;
    // No early exit inside the row: a branch-free scan vectorises.
    for (float value : embeddings.row(i)) finite &= std::isfinite(value);
    if (finite) continue;
    if (found.count == 0) found.first = i;
    ++found.count;
  }
  return found;
}

}  // namespace metrics
