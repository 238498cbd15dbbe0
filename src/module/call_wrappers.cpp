#include "call_wrappers.hpp"

#include "function_descriptions.hpp"

namespace vextral {

PyObject* py_detect_drift(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 2> slots{};
    extract_arguments_fastcall(kDriftDescription, args, nargs, kwnames, slots);
    float result;
    {
      metrics::EmbeddingBatch baseline = extract_batch_argument(slots[0], kDriftParameters[0]);
      metrics::EmbeddingBatch current =
          extract_later_batch_argument(slots[1], kDriftParameters[1], baseline);
      result = metrics::detect_drift(baseline, current, call_pass_options());
    }
    return float_result(result).release();
  });
}

PyObject* py_compute_retrieval_metrics(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 3> slots{};
    extract_arguments_fastcall(kRetrievalDescription, args, nargs, kwnames, slots);
    IdentifierList retrieved = extract_identifier_argument(slots[0], kRetrievalParameters[0]);
    IdentifierList relevant = extract_identifier_argument(slots[1], kRetrievalParameters[1]);
    std::uint64_t top_k;
    try {
      top_k = extract_u64(slots[2]);
    } catch (PythonError& error) {
      throw argument_extraction_error(kRetrievalParameters[2], std::move(error));
    }
    metrics::RetrievalMetrics result = metrics::compute_retrieval_metrics(retrieved, relevant, top_k);
    // Unlike the float functions, the identifier lists are still held while
    // the dict is built; they go when this scope ends, relevant first.
    return retrieval_result(result).release();
  });
}

}  // namespace vextral
