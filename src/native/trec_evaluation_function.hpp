// vextral._native.evaluate_trec: reads a run and its qrels from two chunk
// sources and scores the whole run in one native pass.
#pragma once

#include "python.hpp"

namespace vextral::native {

// evaluate_trec(run_read, run_restart, run_name, qrels_read, qrels_name,
//               depths, strict)
//
// run_read and qrels_read are callables returning the next chunk of the
// file as bytes, b"" at its end; run_restart() makes run_read start again
// from the beginning (needed only for a run that does not list each query's
// lines together, which is read twice). depths is a list of (kind, k) pairs: kind 0
// scores whole rankings, 1 whole rankings with k as the kernel's top_k, 2
// the first k documents of each ranking. A malformed file raises ValueError
// with the one-line report "{name}:{line}: {what}".
//
// Returns (queries, missing_from_run, without_judgments, run_duplicates,
// qrels_duplicates, seconds): queries is a list of (query, retrieved, relevant,
// metrics) in qrels order, metrics a tuple of the five measures per depth;
// the duplicates are (count, first repeated line, line it repeats); seconds
// is (reading both files, scoring), wall-clock seconds.
PyObject* evaluate_trec(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vextral::native
