// _native.non_finite_rows(embeddings) -> (count, first): how many rows of
// the batch hold a NaN or an infinity, and the index of the first such row
// (None when there is none). The batch is converted as batch_measures
// converts it, so the count describes exactly what the measures see.
#pragma once

#include "python.hpp"

namespace vextral::native {

PyObject* non_finite_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vextral::native
