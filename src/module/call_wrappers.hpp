// The call wrappers of the Python-visible functions: bind against the row's
// description, convert, compute, build the result, all inside the entry
// guard. The function table pairs each with its row.
#pragma once

#include <array>

#include "binding.hpp"
#include "conversion.hpp"
#include "entry_guard.hpp"
#include "function_row.hpp"
#include "metrics.hpp"
#include "pass_options.hpp"
#include "result_objects.hpp"
#include "shadow_warning.hpp"

namespace vextral {

using BatchKernel = metrics::Shadowed (*)(const metrics::EmbeddingBatch&, const metrics::PassOptions&);

// Coverage makes no pass over the pairs; it takes the options only to fit
// batch_call.
inline metrics::Shadowed coverage_kernel(const metrics::EmbeddingBatch& embeddings,
                                         const metrics::PassOptions&) {
  return metrics::compute_coverage(embeddings);
}

namespace call_detail {

template <BatchKernel kernel>
PyObject* run_batch(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 1> slots{};
    extract_arguments_fastcall(description, args, nargs, kwnames, slots);
    metrics::Shadowed result;
    {
      // The batch is released before the result object exists.
      metrics::EmbeddingBatch batch = extract_batch_argument(slots[0], description.parameter_names[0]);
      result = kernel(batch, call_pass_options());
    }
    warn_if_departs_from_shadow(description.function_name, result);
    return float_result(result.value).release();
  });
}

PyObject* run_drift(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
PyObject* run_retrieval(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

}  // namespace call_detail

// A function of one batch returning a float.
template <BatchKernel kernel>
inline constexpr FunctionCall batch_call{call_detail::run_batch<kernel>, 1};

// Two batches, baseline then current, returning a float.
inline constexpr FunctionCall drift_call{call_detail::run_drift, 2};

// Two identifier lists and top_k, returning the dict of retrieval metrics.
inline constexpr FunctionCall retrieval_call{call_detail::run_retrieval, 3};

}  // namespace vextral
