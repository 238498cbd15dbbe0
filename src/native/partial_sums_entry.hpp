// The native entries that measure a batch in parts: exact sums of some of
// its pairs or rows as bytes, merged, and the measures on the merged sums
// (metrics.hpp, "A batch measured in parts"). The package's cluster path
// runs one per task and merges the bytes wherever they meet.
#pragma once

#include "python.hpp"

namespace vextral::native {

// _native.pair_sums(rows, columns=None, threads=1, progress=None) -> bytes:
// the exact sums of the similarities of the pairs within `rows` or, given
// `columns`, of every row of `rows` with every row of `columns`. The pass
// runs with the interpreter lock released.
PyObject* pair_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.dimension_sums(rows, dimension, threads=1) -> bytes: the exact
// per-dimension sums of the rows' values over `dimension` dimensions.
PyObject* dimension_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.sum_similarities(values) -> bytes: the exact sums of the given
// similarities (a 1-D buffer of float32), as pair_sums gives them.
PyObject* sum_similarities(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.merge_sums(states) -> bytes: one state of sums from a sequence of
// states of one kind; ValueError for bytes that are none.
PyObject* merge_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.measures_from_sums(pair_state, dimension_state) -> dict: the
// exact measures of a batch from the merged sums of all its pairs and rows.
PyObject* measures_from_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vextral::native
