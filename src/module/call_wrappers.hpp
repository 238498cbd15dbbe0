// The entry points of the Python-visible functions (METH_FASTCALL |
// METH_KEYWORDS): bind, convert, compute, build the result, all inside the
// entry guard.
#pragma once

#include <array>

#include "binding.hpp"
#include "conversion.hpp"
#include "entry_guard.hpp"
#include "metrics.hpp"
#include "pass_options.hpp"
#include "result_objects.hpp"

namespace vextral {

using BatchKernel = float (*)(const metrics::EmbeddingBatch&, const metrics::PassOptions&);

// Coverage makes no pass over the pairs; it takes the options only to fit
// batch_function.
inline float coverage_kernel(const metrics::EmbeddingBatch& embeddings, const metrics::PassOptions&) {
  return metrics::compute_coverage(embeddings);
}

// A function of one batch returning a float.
template <const FunctionDescription& description, BatchKernel kernel>
PyObject* batch_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 1> slots{};
    extract_arguments_fastcall(description, args, nargs, kwnames, slots);
    float result;
    {
      // The batch is released before the result object exists.
      metrics::EmbeddingBatch batch = extract_batch_argument(slots[0], description.parameter_names[0]);
      result = kernel(batch, call_pass_options());
    }
    return float_result(result).release();
  });
}

PyObject* py_detect_drift(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_compute_retrieval_metrics(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace vextral
