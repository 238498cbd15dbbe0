#include "native_functions.hpp"

#include "panic_rebuild.hpp"
#include "trec_evaluation_function.hpp"

namespace vextral::native {

namespace {

template <PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// One row per function, in alphabetical order; each feature adds its entry
// point above the sentinel.
PyMethodDef methods[] = {
    {"evaluate_trec", fastcall<evaluate_trec>(), METH_FASTCALL,
     "evaluate_trec(run_read, run_restart, run_name, qrels_read, qrels_name, depths, strict)\n--\n\n"
     "Read a TREC run and its qrels and score every query"},
    {"rebuild_panic_exception", rebuild_panic_exception, METH_VARARGS,
     "rebuild_panic_exception(*args)\n--\n\n"
     "Rebuild a pickled PanicException (the target of its pickle reduction)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> native_function_table() { return methods; }

}  // namespace vextral::native
