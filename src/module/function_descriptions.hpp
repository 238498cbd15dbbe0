// The parameter descriptions of the six Python-visible functions.
#pragma once

#include <string_view>

#include "binding.hpp"

namespace vextral {

inline constexpr std::string_view kEmbeddingsParameters[] = {"embeddings"};
inline constexpr std::string_view kDriftParameters[] = {"baseline_embeddings", "current_embeddings"};
inline constexpr std::string_view kRetrievalParameters[] = {"retrieved", "relevant", "top_k"};

inline constexpr FunctionDescription kCoverageDescription{"py_compute_coverage", kEmbeddingsParameters, 1};
inline constexpr FunctionDescription kIsotropyDescription{"py_compute_isotropy", kEmbeddingsParameters, 1};
inline constexpr FunctionDescription kDistinctivenessDescription{"py_compute_distinctiveness",
                                                                 kEmbeddingsParameters, 1};
inline constexpr FunctionDescription kQualityScoreDescription{"py_compute_quality_score",
                                                              kEmbeddingsParameters, 1};
inline constexpr FunctionDescription kDriftDescription{"py_detect_drift", kDriftParameters, 2};
inline constexpr FunctionDescription kRetrievalDescription{"py_compute_retrieval_metrics",
                                                           kRetrievalParameters, 3};

}  // namespace vextral
