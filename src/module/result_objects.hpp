// Kernel results as Python objects.
#pragma once

#include "metrics.hpp"
#include "py_ref.hpp"

namespace vextral {

// The float32 result widened exactly to a Python float.
PyRef float_result(float value);

// A new dict {"precision", "recall", "f1_score", "mrr", "ndcg"}, in that order.
PyRef retrieval_result(const metrics::RetrievalMetrics& metrics);

}  // namespace vextral
