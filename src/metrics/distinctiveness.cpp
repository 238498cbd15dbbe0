#include "float_environment.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_measures.hpp"

namespace metrics {

Shadowed compute_distinctiveness(const EmbeddingBatch& embeddings, const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  return distinctiveness_on_path(embeddings, kernel_path_for(options), options);
}

}  // namespace metrics
