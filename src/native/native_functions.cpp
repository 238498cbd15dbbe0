#include "native_functions.hpp"

#include "batch_measures_entry.hpp"
#include "non_finite_rows_entry.hpp"

namespace vextral::native {

namespace {

// One row per function; each feature adds its entry point above the sentinel.
// The interpreter's table stores every entry point as a plain PyCFunction.
template <class Function>
PyCFunction entry(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"batch_measures", entry(batch_measures), METH_FASTCALL | METH_KEYWORDS,
     "batch_measures(embeddings, threads=1, progress=None)\n--\n\n"
     "Isotropy, coverage, distinctiveness and quality score of a batch from one pass over its pairs."},
    {"non_finite_rows", entry(non_finite_rows), METH_FASTCALL | METH_KEYWORDS,
     "non_finite_rows(embeddings)\n--\n\n"
     "The number of rows holding NaN or infinity, and the index of the first (or None)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> native_function_table() { return methods; }

}  // namespace vextral::native
