#include "panic_exception.hpp"

#include <cstring>
#include <new>

#include "entry_guard.hpp"
#include "failure.hpp"
#include "panic_report.hpp"
#include "pending_error.hpp"
#include "text.hpp"

namespace vextral {

namespace {

// Process-wide cache of the class; filled once and never released.
PyObject* panic_exception_class = nullptr;

constexpr const char* kDocstring =
    "\n"
    "The exception raised when the native code of the extension fails internally\n"
    "while it is called from Python.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "usually propagates all the way up the stack and makes the Python\n"
    "interpreter exit.\n";

// --- pickling --------------------------------------------------------------

constexpr const char* kReducerName = "_reduce_vextral_panic_exception";
// Marks the class as ours in its own dict, where libraries that register
// their own pickling for every exception class (tblib, which
// distributed installs at import) cannot overwrite it as they overwrite
// the reduction.
constexpr const char* kMarker = "__vextral_panic_class__";
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
    for (Py_ssize_t i = 1; i < size; ++i)
      PyTuple_SetItem(result.get(), i, PyRef::borrow(PyTuple_GetItem(reduced.get(), i)).release());
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

// The class the other module registered, or null; whatever goes wrong while
// looking is discarded, and the class is then created afresh.
PyRef registered_panic_class() noexcept {
  PendingErrorAside aside;
  PyRef found;
  if (PyRef table = dispatch_table(); table && PyDict_Check(table.get())) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(table.get(), &position, &key, &value)) {
      if (PyType_Check(key) && PyObject_IsSubclass(key, PyExc_BaseException) == 1 &&
          (is_our_reducer(value) || PyObject_HasAttrString(key, kMarker) == 1)) {
        found = PyRef::borrow(key);
        break;
      }
    }
  }
  return found;
}

// A failure is discarded: the class is still usable, its instances only
// cannot be pickled. Put back wherever another library replaced it.
void register_panic_reduction(PyObject* panic_class) noexcept {
  PendingErrorAside aside;
  if (PyRef table = dispatch_table(); table && PyDict_Check(table.get())) {
    PyObject* current = PyDict_GetItem(table.get(), panic_class);  // borrowed; null when absent
    // This module's own reducer is known by its function, without the name
    // lookup that tells the other module's apart (and that costs every
    // raise a few objects the interpreter keeps).
    if (current != nullptr && PyCFunction_Check(current) &&
        PyCFunction_GetFunction(current) == reduce_panic) {
      return;
    }
    if (current != nullptr && is_our_reducer(current)) return;
  }
  PyRef reducer = PyRef::steal(PyCMethod_New(&reducer_definition, nullptr, nullptr, nullptr));
  PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
  if (reducer && copyreg) {
    PyRef done = PyRef::steal(
        PyObject_CallMethod(copyreg.get(), "pickle", "OO", panic_class, reducer.get()));
  }
}

// --- resuming --------------------------------------------------------------

// The PanicException's own message, or a fixed text when str() fails.
std::string panic_message(PyObject* exception) {
  PyRef str = PyRef::steal(PyObject_Str(exception));
  if (str) {
    try {
      return str_to_text(str.get());
    } catch (const PythonError&) {
    }
  }
  PyErr_Clear();
  return "Unwrapped panic from Python code";
}

}  // namespace

PyObject* panic_exception_type() {
  if (panic_exception_class != nullptr) return panic_exception_class;
  if (PyRef registered = registered_panic_class()) {
    panic_exception_class = registered.release();
    register_panic_reduction(panic_exception_class);
    return panic_exception_class;
  }
  PyRef members = PyRef::steal(PyDict_New());
  if (!members || PyDict_SetItemString(members.get(), kMarker, Py_True) < 0) {
    members = PyRef();
    PyErr_Clear();  // without the marker the class still works
  }
  PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kDocstring,
                                                PyExc_BaseException, members.get());
  if (created == nullptr) {
    // Taken plainly: there is no class yet to compare the pending one with.
    PythonError error = take_pending_error_plainly();
    // Out of memory, the interpreter's MemoryError is the truest report.
    if (PyErr_GivenExceptionMatches(error.type(), PyExc_MemoryError)) throw error;
    PyRef cause = error.value();
    std::string description = type_name_text(cause.get(), "exception") + ": " + object_text(cause.get());
    throw metrics::InternalFailure("Failed to initialize new exception type.: " + description);
  }
  panic_exception_class = created;
  register_panic_reduction(created);
  return panic_exception_class;
}

void raise_panic_exception(std::string_view message) {
  // May run when memory has run out: where the interpreter cannot build an
  // object it leaves its own MemoryError pending, which then reaches the
  // caller instead.
  PyObject* panic_class = nullptr;
  try {
    panic_class = panic_exception_type();
  } catch (PythonError& error) {
    // The class could not be created for want of memory.
    error.restore();
    return;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  }
  // A library that took over every exception class's pickling since the
  // last raise (tblib, once distributed is imported) is undone here, where a
  // panic is about to exist, rather than at every comparison with the class.
  register_panic_reduction(panic_class);
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
  if (!args) return;
  PyErr_SetObject(panic_class, args.get());
}

void resume_panic(PyRef exception) {
  std::string message = panic_message(exception.get());
  report_resumed_panic(exception.get());
  throw ResumedPanic(std::move(message));
}

PyRef rebuild_panic_exception(PyObject* args) {
  PyObject* panic_class = panic_exception_type();
  register_panic_reduction(panic_class);
  PyRef instance = PyRef::steal(PyObject_Call(panic_class, args, nullptr));
  if (!instance) raise_pending_error();
  return instance;
}

}  // namespace vextral
