// The init entry: creates the module once per process and registers the
// functions of the function table on it.
#include <atomic>
#include <cstdint>

#include "entry_guard.hpp"
#include "failure.hpp"
#include "function_table.hpp"
#include "pending_error.hpp"
#include "text.hpp"

namespace vextral {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vextral_core",           // m_name
    "Vextral Python module",  // m_doc
    0,                        // m_size: no per-module state
    nullptr,                  // m_methods: added by the init body instead
    nullptr,                  // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

// The identifier of the first interpreter that imported the module. The
// module's objects belong to that interpreter alone.
std::atomic<std::int64_t> owner_interpreter{-1};

// The module built by the first successful init; later inits return it.
PyObject* cached_module = nullptr;

constexpr int kStableApiVersion = 3;

PyRef list_all_of(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) return all;
  PythonError error = take_pending_error();
  if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) throw error;
  all = PyRef::steal(PyList_New(0));
  if (!all) raise_pending_error();
  if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) raise_pending_error();
  return all;
}

void register_function(PyObject* module, PyMethodDef& method) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) raise_pending_error();
  PyRef function = PyRef::steal(PyCMethod_New(&method, module, module_name.get(), nullptr));
  if (!function) raise_pending_error();
  module_name.reset();

  PyRef name_attribute = PyRef::steal(PyUnicode_InternFromString("__name__"));
  if (!name_attribute) raise_pending_error();
  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attribute.get()));
  if (!name) raise_pending_error();

  PyRef all = list_all_of(module);
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyRef cause = take_pending_error().value();
    throw metrics::InternalFailure("could not append __name__ to __all__: " +
                                   type_name_text(cause.get(), "exception") + ": " +
                                   object_text(cause.get()));
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) raise_pending_error();
}

PyObject* initialise() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) raise_pending_error();
  std::int64_t owner = -1;
  if (!owner_interpreter.compare_exchange_strong(owner, interpreter, std::memory_order_seq_cst) &&
      owner != interpreter) {
    throw PythonError::create(
        PyExc_ImportError,
        "vextral_core does not yet support sub-interpreters, see "
        "https://docs.python.org/3/howto/isolating-extensions.html");
  }
  if (cached_module != nullptr) return PyRef::borrow(cached_module).release();

  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kStableApiVersion));
  if (!module) raise_pending_error();
  for (PyMethodDef& method : function_table()) register_function(module.get(), method);

  cached_module = module.new_reference();
  return module.release();
}

}  // namespace

}  // namespace vextral

PyMODINIT_FUNC PyInit_vextral_core() { return vextral::run_guarded(vextral::initialise); }
