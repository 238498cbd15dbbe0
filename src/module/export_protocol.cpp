#include "export_protocol.hpp"

#include "pending_error.hpp"

namespace vextral {

bool type_defines(PyObject* object, const char* method) {
  PyObject* found = nullptr;
  int status = PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), method, &found);
  PyRef held = PyRef::steal(found);
  if (status < 0) {
    PyErr_Clear();
    return false;
  }
  return status == 1;
}

PyRef call_export(PyObject* object, const char* method, PyObject* keywords) {
  PyRef bound = PyRef::steal(PyObject_GetAttrString(object, method));
  PyRef result;
  if (bound) {
    PyRef no_arguments = PyRef::steal(PyTuple_New(0));
    if (no_arguments) result = PyRef::steal(PyObject_Call(bound.get(), no_arguments.get(), keywords));
  }
  if (result) return result;
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) raise_pending_error();
  PyErr_Clear();
  return {};
}

}  // namespace vextral
