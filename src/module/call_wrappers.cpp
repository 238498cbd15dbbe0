#include "call_wrappers.hpp"

namespace vextral::call_detail {

PyObject* run_drift(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 2> slots{};
    extract_arguments_fastcall(description, args, nargs, kwnames, slots);
    metrics::Shadowed result;
    {
      metrics::EmbeddingBatch baseline = extract_batch_argument(slots[0], description.parameter_names[0]);
      metrics::EmbeddingBatch current =
          extract_later_batch_argument(slots[1], description.parameter_names[1], baseline);
      result = metrics::detect_drift(baseline, current, call_pass_options());
    }
    warn_if_departs_from_shadow(description.function_name, result);
    return float_result(result.value).release();
  });
}

PyObject* run_retrieval(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 3> slots{};
    extract_arguments_fastcall(description, args, nargs, kwnames, slots);
    IdentifierList retrieved = extract_identifier_argument(slots[0], description.parameter_names[0]);
    IdentifierList relevant = extract_identifier_argument(slots[1], description.parameter_names[1]);
    const std::uint64_t top_k = extract_u64_argument(slots[2], description.parameter_names[2]);
    metrics::RetrievalMetrics result = metrics::compute_retrieval_metrics(retrieved, relevant, top_k);
    // Unlike the float functions, the identifier lists are still held while
    // the dict is built; they go when this scope ends, relevant first.
    return retrieval_result(result).release();
  });
}

}  // namespace vextral::call_detail
