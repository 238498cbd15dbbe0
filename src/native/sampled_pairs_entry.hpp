// The native entries that estimate the measures from a sample of pairs
// (pair_sampling.hpp): on a batch in memory at once, or in parts, as the
// package's cluster path does (draw the pairs, compute the similarities of
// those between two blocks of rows, estimate from them all).
#pragma once

#include "python.hpp"

namespace vextral::native {

// _native.sampled_measure(embeddings, pairs, seed, threads=1, checked=None)
// -> dict: the estimates, their standard errors ("isotropy_stderr", ...),
// exact coverage, "pairs" sampled of "population", with the batch's shape
// and its rows holding NaN or infinity (reported to checked(count, first)
// first). Runs with the interpreter lock released.
PyObject* sampled_measure(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.draw_pairs(rows, count, seed) -> bytes: the drawn pairs as
// native-endian uint64 (first, second) couples, in the pair order.
PyObject* draw_pairs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.pair_similarities(rows, pairs, columns=None, threads=1) -> bytes:
// the float32 similarity of each pair of `pairs` (as draw_pairs gives
// them), between rows and rows, or rows and columns.
PyObject* pair_similarities(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.sampled_measures(similarities, dimension_state) -> dict: what
// sampled_measure gives, from the similarities of the drawn pairs (float32
// bytes) and the merged dimension sums of all rows.
PyObject* sampled_measures(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vextral::native
