#include "function_table.hpp"

#include "call_wrappers.hpp"
#include "function_descriptions.hpp"

namespace vextral {

namespace {

template <PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// Each docstring opens with the text signature the interpreter reports as
// __text_signature__; __doc__ is the sentence after the "--" line.
PyMethodDef methods[] = {
    {"py_compute_isotropy", fastcall<batch_function<kIsotropyDescription, metrics::compute_isotropy>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "py_compute_isotropy(embeddings)\n--\n\nCompute isotropy of embeddings (vector space utilization)"},
    {"py_compute_coverage", fastcall<batch_function<kCoverageDescription, coverage_kernel>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "py_compute_coverage(embeddings)\n--\n\nCompute coverage of embeddings (diversity of semantic space)"},
    {"py_compute_distinctiveness",
     fastcall<batch_function<kDistinctivenessDescription, metrics::compute_distinctiveness>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "py_compute_distinctiveness(embeddings)\n--\n\n"
     "Compute distinctiveness of embeddings (semantic separation)"},
    {"py_detect_drift", fastcall<py_detect_drift>(), METH_FASTCALL | METH_KEYWORDS,
     "py_detect_drift(baseline_embeddings, current_embeddings)\n--\n\nDetect drift in embedding quality"},
    {"py_compute_retrieval_metrics", fastcall<py_compute_retrieval_metrics>(), METH_FASTCALL | METH_KEYWORDS,
     "py_compute_retrieval_metrics(retrieved, relevant, top_k)\n--\n\n"
     "Compute retrieval metrics (precision, recall, F1, MRR, NDCG)"},
    {"py_compute_quality_score",
     fastcall<batch_function<kQualityScoreDescription, metrics::compute_quality_score>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "py_compute_quality_score(embeddings)\n--\n\nCompute embedding quality score (composite metric)"},
};

}  // namespace

std::span<PyMethodDef> function_table() { return methods; }

}  // namespace vextral
