// _native.batch_measures(embeddings, threads=1, progress=None): isotropy,
// coverage, distinctiveness and quality score of one batch from one pass
// over its pairs, each with exactly the bits of vextral_core's own function.
// `progress`, if given, is called as progress(pairs_done, pairs_total)
// between panels of pairs; a pending signal (Ctrl-C) stops the pass.
#pragma once

#include "python.hpp"

namespace vextral::native {

PyObject* batch_measures(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vextral::native
