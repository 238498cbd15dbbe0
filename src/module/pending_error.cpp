#include "pending_error.hpp"

#include "panic_exception.hpp"

namespace vextral {

PythonError take_pending_error_plainly() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception)
    return PythonError::create(PyExc_SystemError, "attempted to fetch exception but none was set");
  return PythonError::from_object(std::move(exception));
}

PythonError take_pending_error() {
  PythonError error = take_pending_error_plainly();
  if (error.type() == panic_exception_type()) resume_panic(error.value());
  return error;
}

void raise_pending_error() { throw take_pending_error(); }

}  // namespace vextral
