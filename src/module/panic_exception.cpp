#include "panic_exception.hpp"

#include "failure.hpp"
#include "panic_pickling.hpp"
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

}  // namespace

PyObject* panic_exception_type() {
  if (panic_exception_class != nullptr) return panic_exception_class;
  // The other extension module of the package may have made it already.
  if (PyRef registered = registered_panic_class()) {
    panic_exception_class = registered.release();
    return panic_exception_class;
  }
  PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kDocstring,
                                                PyExc_BaseException, nullptr);
  if (created == nullptr) {
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

}  // namespace vextral
