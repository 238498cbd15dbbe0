#include "float_environment.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_measures.hpp"

namespace metrics {

Shadowed compute_isotropy(const EmbeddingBatch& embeddings, const PassOptions& options) {
  const DefaultFloatEnvironment float_environment;
  return isotropy_on_path(embeddings, kernel_path_for(options), options);
}

bool departs_from_shadow(const Shadowed& result) {
  // NaN never occurs: both results are clamped; a NaN difference compares
  // false and is no departure.
  const double difference = static_cast<double>(result.value) - result.shadow;
  return difference > kShadowTolerance || difference < -kShadowTolerance;
}

}  // namespace metrics
