#include "non_finite_rows_entry.hpp"

#include <array>
#include <string_view>

#include "batch_argument.hpp"
#include "binding.hpp"
#include "entry_guard.hpp"
#include "entry_values.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"

namespace vextral::native {

namespace {

constexpr std::string_view kParameters[] = {"embeddings"};
constexpr FunctionDescription kDescription{"non_finite_rows", kParameters, 1};

}  // namespace

PyObject* non_finite_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded([&] {
    std::array<PyObject*, 1> slots{};
    extract_arguments_fastcall(kDescription, args, nargs, kwnames, slots);
    metrics::NonFiniteRows found;
    {
      const metrics::EmbeddingBatch batch = batch_argument(slots[0], kParameters[0]);
      found = metrics::find_non_finite_rows(batch);
    }
    PyRef count = PyRef::steal(PyLong_FromSize_t(found.count));
    if (!count) raise_pending_error();
    PyRef first = first_non_finite(found);
    PyRef pair = PyRef::steal(PyTuple_Pack(2, count.get(), first.get()));
    if (!pair) raise_pending_error();
    return pair.release();
  });
}

}  // namespace vextral::native
