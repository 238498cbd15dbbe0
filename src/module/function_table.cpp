#include "function_table.hpp"

#include "call_wrappers.hpp"
#include "function_descriptions.hpp"

namespace vextral {

namespace {

template <PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// Each docstring opens with the text signature the interpreter reports as
// __text_signature__; __doc__ is the sentence after the "--" line.
PyMethodDef methods[] = {
    {"py_compute_coverage", fastcall<batch_function<kCoverageDescription, metrics::compute_coverage>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "py_compute_coverage(embeddings)\n--\n\nCompute coverage of embeddings (diversity of semantic space)"},
};

}  // namespace

std::span<PyMethodDef> function_table() { return methods; }

}  // namespace vextral
