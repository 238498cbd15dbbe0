// Isotropy and distinctiveness through the pair kernel of a chosen path.
//
// The public kernels call these with the path their options ask for, the
// fastest the processor has by default; the tests call them with every
// supported path. Each result has exactly the bits of the reference forms in
// reference/reference.hpp. Internal to the metrics module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pair_kernel/kernel_path.hpp"
#include "metrics.hpp"

namespace metrics {

// Distinctiveness sums the similarities twice: once for the mean and once
// for the spread around it. It keeps them between the two passes while the
// list fits this many bytes and computes them again in the second pass
// otherwise.
inline constexpr std::size_t kSimilarityListBudget = std::size_t{256} << 20;

// `options` says how the passes over the pairs run (threads, monitor); the
// results have the same bits whatever they say. Each result comes with its
// shadow (Shadowed, metrics.hpp) and reads as the float32 result.
Shadowed isotropy_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                          const PassOptions& options = {});

Shadowed distinctiveness_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                 const PassOptions& options = {},
                                 std::size_t list_budget_bytes = kSimilarityListBudget);
Shadowed distinctiveness_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                 std::size_t list_budget_bytes);

// Both measures of one batch from one normalisation and one pass over the
// pairs (plus the spread's second pass when the list is over budget), with
// their shadows.
struct PairMeasures {
  float isotropy = 0.0f;
  float distinctiveness = 0.0f;
  double isotropy_shadow = 0.0;
  double distinctiveness_shadow = 0.0;
};

PairMeasures pair_measures_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                   const PassOptions& options = {},
                                   std::size_t list_budget_bytes = kSimilarityListBudget);
PairMeasures pair_measures_on_path(const EmbeddingBatch& embeddings, KernelPath path,
                                   std::size_t list_budget_bytes);

// Whether distinctiveness keeps the similarity list of `pairs` pairs, or
// passes over the pairs a second time for the spread.
inline bool keeps_similarity_list(std::uint64_t pairs,
                                  std::size_t list_budget_bytes = kSimilarityListBudget) {
  return pairs <= list_budget_bytes / sizeof(float);
}

}  // namespace metrics
