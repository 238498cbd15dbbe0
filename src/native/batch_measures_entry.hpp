// The native entries the command computes embedding measures with.
#pragma once

#include "python.hpp"

namespace vextral::native {

// _native.batch_measures(embeddings, threads=1, progress=None, checked=None):
// isotropy, coverage, distinctiveness and quality score of one batch from
// one pass over its pairs, each with exactly the bits of vextral_core's own
// function, and the number of rows holding NaN or infinity with the index
// of the first. `checked`, if given, is called as checked(count, first)
// after that scan and before the pass (its exception ends the call);
// `progress`, if given, as progress(pairs_done, pairs_total) between panels
// of pairs; a pending signal (Ctrl-C) stops the pass.
PyObject* batch_measures(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.measure(embeddings, threads=1, progress=None, checked=None): the
// same four measures evaluated on exact, order-free sums, as float64 values
// whose bits do not depend on `threads`; arguments and scan as above, plus
// the batch's "rows" and "dimension". The pass runs with the interpreter
// lock released; the monitor takes it back between panels.
PyObject* measure(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.sound_drift(the same six measures, float64): the drift between
// two batches' exact measures.
PyObject* sound_drift(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _native.drift_between(baseline_isotropy, baseline_coverage,
// baseline_distinctiveness, current_isotropy, current_coverage,
// current_distinctiveness): the drift that vextral_core.py_detect_drift
// gives two batches, from their float32 measures.
PyObject* drift_between(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vextral::native
