// vextral._native: the vextral package's own native code (reading run and
// qrels files, evaluating a whole run, all batch measures from one pass),
// built on the metrics library and the interpreter layer that vextral_core
// uses. It is a private module of the package: its functions may change with
// the package, unlike vextral_core's six.
#include <span>

#include "entry_guard.hpp"
#include "native_functions.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"

namespace vextral::native {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vextral._native",                          // m_name
    "Native helpers of the vextral package",  // m_doc
    0,                                          // m_size: no per-module state
    nullptr,                                    // m_methods: set from the table below
    nullptr,                                    // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kStableApiVersion = 3;

PyObject* initialise() {
  module_definition.m_methods = native_function_table().data();
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kStableApiVersion));
  if (!module) raise_pending_error();
  return module.release();
}

}  // namespace

}  // namespace vextral::native

PyMODINIT_FUNC PyInit__native() { return vextral::run_guarded(vextral::native::initialise); }
