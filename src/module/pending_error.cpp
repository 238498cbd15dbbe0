#include "pending_error.hpp"

#include <cstdio>

#include "failure.hpp"
#include "panic_exception.hpp"
#include "text.hpp"

namespace vextral {

PythonError take_pending_error_plainly() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception)
    return PythonError::create(PyExc_SystemError, "attempted to fetch exception but none was set");
  return PythonError::from_object(std::move(exception));
}

namespace {

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

[[noreturn]] void resume_panic(PyRef exception) {
  std::string message = panic_message(exception.get());
  std::fputs(
      "vextral_core: a PanicException raised by Python code is resumed as an internal failure;\n"
      "its traceback follows:\n",
      stderr);
  std::fflush(stderr);
  // Only displayed: printing through sys.excepthook would honour a
  // SystemExit that the hook raises and end the process in mid-call.
  PyErr_DisplayException(exception.get());
  throw metrics::InternalFailure(std::move(message), std::source_location::current(),
                                 /*resumed=*/true);
}

}  // namespace

PythonError take_pending_error() {
  PythonError error = take_pending_error_plainly();
  if (error.type() == panic_exception_type()) resume_panic(error.value());
  return error;
}

void raise_pending_error() { throw take_pending_error(); }

}  // namespace vextral
