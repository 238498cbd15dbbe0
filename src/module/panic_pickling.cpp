#include "panic_pickling.hpp"

#include <cstring>

#include "entry_guard.hpp"
#include "panic_exception.hpp"
#include "pending_error.hpp"

namespace vextral {

namespace {

constexpr const char* kReducerName = "_reduce_vextral_panic_exception";
constexpr const char* kRebuildModule = "vextral._native";
constexpr const char* kRebuildName = "rebuild_panic_exception";

// (rebuild, args) or (rebuild, args, state), from what BaseException's own
// __reduce__ gives: (class, args) or (class, args, state).
PyObject* reduce_panic(PyObject*, PyObject* instance) {
  return run_guarded([&] {
    PyRef reduced = PyRef::steal(PyObject_CallMethod(instance, "__reduce__", nullptr));
    if (!reduced) raise_pending_error();
    if (!PyTuple_Check(reduced.get()) || PyTuple_Size(reduced.get()) < 2)
      throw PythonError::create(PyExc_TypeError, "unexpected PanicException.__reduce__ result");
    PyRef module = PyRef::steal(PyImport_ImportModule(kRebuildModule));
    if (!module) raise_pending_error();
    PyRef rebuild = PyRef::steal(PyObject_GetAttrString(module.get(), kRebuildName));
    if (!rebuild) raise_pending_error();
    const Py_ssize_t size = PyTuple_Size(reduced.get());
    PyRef result = PyRef::steal(PyTuple_New(size));
    if (!result) raise_pending_error();
    PyTuple_SetItem(result.get(), 0, rebuild.release());
    for (Py_ssize_t i = 1; i < size; ++i) {
      PyObject* item = PyTuple_GetItem(reduced.get(), i);
      Py_IncRef(item);
      PyTuple_SetItem(result.get(), i, item);
    }
    return result.release();
  });
}

PyMethodDef reducer_definition = {kReducerName, reduce_panic, METH_O,
                                  "Pickles a PanicException as a call that rebuilds it."};

bool is_our_reducer(PyObject* reducer) {
  if (!PyCFunction_Check(reducer)) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(reducer, "__name__"));
  if (!name) return false;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  return text != nullptr && std::strcmp(text, kReducerName) == 0;
}

PyRef dispatch_table() {
  PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
  if (!copyreg) return {};
  return PyRef::steal(PyObject_GetAttrString(copyreg.get(), "dispatch_table"));
}

// Keeps an exception that happens to be pending out of the way of the
// lookups below, whose own failures are discarded.
class PendingErrorAside {
 public:
  PendingErrorAside() noexcept : saved_(PyErr_GetRaisedException()) {}
  ~PendingErrorAside() {
    PyErr_Clear();
    if (saved_ != nullptr) PyErr_SetRaisedException(saved_);
  }
  PendingErrorAside(const PendingErrorAside&) = delete;
  PendingErrorAside& operator=(const PendingErrorAside&) = delete;

 private:
  PyObject* saved_;
};

}  // namespace

PyRef registered_panic_class() noexcept {
  PendingErrorAside aside;
  PyRef found;
  if (PyRef table = dispatch_table(); table && PyDict_Check(table.get())) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(table.get(), &position, &key, &value)) {
      if (PyType_Check(key) && PyObject_IsSubclass(key, PyExc_BaseException) == 1 &&
          is_our_reducer(value)) {
        found = PyRef::borrow(key);
        break;
      }
    }
  }
  return found;
}

void register_panic_reduction(PyObject* panic_class) noexcept {
  PendingErrorAside aside;
  PyRef reducer = PyRef::steal(PyCMethod_New(&reducer_definition, nullptr, nullptr, nullptr));
  PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
  if (reducer && copyreg) {
    PyRef done = PyRef::steal(
        PyObject_CallMethod(copyreg.get(), "pickle", "OO", panic_class, reducer.get()));
  }
}

PyRef rebuild_panic_exception(PyObject* args) {
  PyRef instance = PyRef::steal(PyObject_Call(panic_exception_type(), args, nullptr));
  if (!instance) raise_pending_error();
  return instance;
}

}  // namespace vextral
