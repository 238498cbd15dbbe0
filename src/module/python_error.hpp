// A Python exception travelling through the module's C++ code.
//
// Conversion and binding failures are thrown as PythonError and caught by the
// entry guard, which makes the exception current in the interpreter. An error
// is either an exception object taken from the interpreter, or a class plus
// message that the module creates itself and raises only when needed.
#pragma once

#include <exception>
#include <string>

#include "py_ref.hpp"

namespace vextral {

class PythonError : public std::exception {
 public:
  // An error the module raises itself: `type` is a borrowed exception class.
  static PythonError create(PyObject* type, std::string message);
  // An exception object taken from the interpreter.
  static PythonError from_object(PyRef exception);

  const char* what() const noexcept override { return "Python exception"; }

  // The exception's class (borrowed).
  PyObject* type() const noexcept;

  // The exception object, instantiating it first if it was only described.
  PyRef value();

  // Makes this the interpreter's current exception.
  void restore();

 private:
  PyRef type_;
  std::string message_;
  PyRef value_;
};

}  // namespace vextral
