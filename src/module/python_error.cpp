#include "python_error.hpp"

#include "text.hpp"

namespace vextral {

PythonError PythonError::create(PyObject* type, std::string message) {
  PythonError error;
  error.type_ = PyRef::borrow(type);
  error.message_ = std::move(message);
  return error;
}

PythonError PythonError::from_object(PyRef exception) {
  PythonError error;
  error.value_ = std::move(exception);
  return error;
}

PyObject* PythonError::type() const noexcept {
  return value_ ? reinterpret_cast<PyObject*>(Py_TYPE(value_.get())) : type_.get();
}

void PythonError::restore() {
  if (value_) {
    PyErr_SetRaisedException(value_.release());
    return;
  }
  PyRef message = text_to_str(message_);
  if (!message) return;  // the interpreter's MemoryError is now pending
  PyErr_SetObject(type_.get(), message.get());
}

PyRef PythonError::value() {
  if (!value_) {
    restore();
    value_ = PyRef::steal(PyErr_GetRaisedException());
  }
  return value_;
}

}  // namespace vextral
