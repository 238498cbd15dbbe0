#include "function_table.hpp"

#include <string_view>

#include "call_wrappers.hpp"
#include "function_row.hpp"

namespace vextral {

namespace {

constexpr std::string_view kEmbeddings[] = {"embeddings"};
constexpr std::string_view kDriftParameters[] = {"baseline_embeddings", "current_embeddings"};
constexpr std::string_view kRetrievalParameters[] = {"retrieved", "relevant", "top_k"};

// The six functions in registration order (the order of __all__): name and
// parameters, the docstring after its generated signature line, and the call
// wrapper.
constexpr FunctionRow kFunctions[] = {
    {{"py_compute_isotropy", kEmbeddings},
     "Compute isotropy of embeddings (vector space utilization)",
     batch_call<metrics::compute_isotropy>},
    {{"py_compute_coverage", kEmbeddings},
     "Compute coverage of embeddings (diversity of semantic space)",
     batch_call<coverage_kernel>},
    {{"py_compute_distinctiveness", kEmbeddings},
     "Compute distinctiveness of embeddings (semantic separation)",
     batch_call<metrics::compute_distinctiveness>},
    {{"py_detect_drift", kDriftParameters}, "Detect drift in embedding quality", drift_call},
    {{"py_compute_retrieval_metrics", kRetrievalParameters},
     "Compute retrieval metrics (precision, recall, F1, MRR, NDCG)",
     retrieval_call},
    {{"py_compute_quality_score", kEmbeddings},
     "Compute embedding quality score (composite metric)",
     batch_call<metrics::compute_quality_score>},
};

// Static, since the function objects keep pointing at their records.
auto methods = method_records<kFunctions>();

}  // namespace

std::span<PyMethodDef> function_table() { return methods; }

}  // namespace vextral
