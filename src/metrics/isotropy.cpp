#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_measures.hpp"

namespace metrics {

float compute_isotropy(const EmbeddingBatch& embeddings, const PassOptions& options) {
  return isotropy_on_path(embeddings, kernel_path_for(options), options);
}

}  // namespace metrics
