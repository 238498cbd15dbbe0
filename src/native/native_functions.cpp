#include "native_functions.hpp"

#include "batch_measures_entry.hpp"
#include "mapped_rows.hpp"
#include "non_finite_rows_entry.hpp"
#include "panic_rebuild.hpp"
#include "partial_sums_entry.hpp"
#include "sampled_pairs_entry.hpp"
#include "trec_evaluation_function.hpp"

namespace vextral::native {

namespace {

// The interpreter's table stores every entry point as a plain PyCFunction.
template <class Function>
PyCFunction entry(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// One row per function, in alphabetical order; each feature adds its entry
// point above the sentinel.
PyMethodDef methods[] = {
    {"batch_measures", entry(batch_measures), METH_FASTCALL | METH_KEYWORDS,
     "batch_measures(embeddings, threads=1, progress=None, checked=None)\n--\n\n"
     "Isotropy, coverage, distinctiveness and quality score of a batch from one pass over its pairs,\n"
     "with the number of rows holding NaN or infinity and the first of them; checked(count, first)\n"
     "is called with those before the pass."},
    {"dimension_sums", entry(dimension_sums), METH_FASTCALL | METH_KEYWORDS,
     "dimension_sums(rows, dimension, threads=1)\n--\n\n"
     "The exact per-dimension sums of the rows' values, as bytes that merge with other parts'."},
    {"draw_pairs", entry(draw_pairs), METH_FASTCALL | METH_KEYWORDS,
     "draw_pairs(rows, count, seed)\n--\n\n"
     "count distinct pairs of rows drawn uniformly for seed, as uint64 (first, second) couples."},
    {"drift_between", entry(drift_between), METH_FASTCALL | METH_KEYWORDS,
     "drift_between(baseline_isotropy, baseline_coverage, baseline_distinctiveness, current_isotropy, "
     "current_coverage, current_distinctiveness)\n--\n\n"
     "The drift vextral_core.py_detect_drift gives two batches, from their measures."},
    {"evaluate_trec", entry(evaluate_trec), METH_FASTCALL,
     "evaluate_trec(run_read, run_restart, run_name, qrels_read, qrels_name, depths, strict)\n--\n\n"
     "Read a TREC run and its qrels and score every query"},
#if VEXTRAL_MAPPED_ROWS
    {"map_float32_rows", entry(map_float32_rows), METH_FASTCALL,
     "map_float32_rows(fd, offset, rows, dimension, /)\n--\n\n"
     "Map the file open as fd read-only; its float32 rows start offset bytes in."},
    {"mapped_file_changed", mapped_file_changed, METH_O,
     "mapped_file_changed(rows, /)\n--\n\n"
     "Whether the file of rows from map_float32_rows changed since it was mapped (False for others)."},
#endif
    {"measure", entry(measure), METH_FASTCALL | METH_KEYWORDS,
     "measure(embeddings, threads=1, progress=None, checked=None)\n--\n\n"
     "Isotropy, coverage, distinctiveness and quality score of a batch on exact, order-free sums\n"
     "(float64), with the batch's shape and the rows holding NaN or infinity."},
    {"measures_from_sums", entry(measures_from_sums), METH_FASTCALL | METH_KEYWORDS,
     "measures_from_sums(pair_state, dimension_state)\n--\n\n"
     "The exact measures of a batch from the merged sums of all its pairs and rows."},
    {"merge_sums", entry(merge_sums), METH_FASTCALL | METH_KEYWORDS,
     "merge_sums(states)\n--\n\n"
     "One state of exact sums from several of one kind."},
    {"non_finite_rows", entry(non_finite_rows), METH_FASTCALL | METH_KEYWORDS,
     "non_finite_rows(embeddings)\n--\n\n"
     "The number of rows holding NaN or infinity, and the index of the first (or None)."},
    {"pair_sums", entry(pair_sums), METH_FASTCALL | METH_KEYWORDS,
     "pair_sums(rows, columns=None, threads=1, progress=None)\n--\n\n"
     "The exact sums of the similarities of the pairs within rows, or between rows and columns."},
    {"pair_similarities", entry(pair_similarities), METH_FASTCALL | METH_KEYWORDS,
     "pair_similarities(rows, pairs, columns=None, threads=1)\n--\n\n"
     "The float32 similarities of the given pairs, with the bits of the pass over all pairs."},
    {"rebuild_panic_exception", rebuild_panic_exception, METH_VARARGS,
     "rebuild_panic_exception(*args)\n--\n\n"
     "Rebuild a pickled PanicException (the target of its pickle reduction)."},
    {"sampled_measure", entry(sampled_measure), METH_FASTCALL | METH_KEYWORDS,
     "sampled_measure(embeddings, pairs, seed, threads=1, checked=None)\n--\n\n"
     "The measures estimated from a sample of pairs, with standard errors; coverage exact."},
    {"sampled_measures", entry(sampled_measures), METH_FASTCALL | METH_KEYWORDS,
     "sampled_measures(similarities, dimension_state)\n--\n\n"
     "The estimates from the similarities of drawn pairs and the dimension sums of all rows."},
    {"sound_drift", entry(sound_drift), METH_FASTCALL | METH_KEYWORDS,
     "sound_drift(baseline_isotropy, baseline_coverage, baseline_distinctiveness, current_isotropy, "
     "current_coverage, current_distinctiveness)\n--\n\n"
     "The drift between two batches from their exact measures (float64)."},
    {"sum_similarities", entry(sum_similarities), METH_FASTCALL | METH_KEYWORDS,
     "sum_similarities(values)\n--\n\n"
     "The exact sums of the given float32 similarities, as pair_sums gives them."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> native_function_table() { return methods; }

}  // namespace vextral::native
