#include "export_protocol.hpp"

#include "pending_error.hpp"

namespace vextral {

namespace {

// cls.name, or null when it has none (or the look-up fails: nobody's error).
PyRef optional_attribute(PyObject* owner, const char* name) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(owner, name, &found) < 0) PyErr_Clear();
  return PyRef::steal(found);
}

// The first class of the type's MRO whose own namespace holds `name`.
PyRef defining_class(PyObject* type, const char* name) {
  PyRef mro = optional_attribute(type, "__mro__");
  if (!mro || !PyTuple_Check(mro.get())) return {};
  for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
    PyObject* cls = PyTuple_GetItem(mro.get(), i);
    PyRef namespace_ = optional_attribute(cls, "__dict__");
    if (!namespace_) continue;
    int found = PyMapping_HasKeyStringWithError(namespace_.get(), name);
    if (found < 0) {
      PyErr_Clear();
      return {};
    }
    if (found == 1) return PyRef::borrow(cls);
  }
  return {};
}

}  // namespace

bool exports_what_it_iterates(PyObject* object, const char* method) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  if (!optional_attribute(type, method)) return false;
  PyRef owner = defining_class(type, method);
  if (!owner) return false;
  if (owner.get() == type) return true;
  for (const char* access : {"__getitem__", "__iter__", "__len__"})
    if (optional_attribute(type, access).get() != optional_attribute(owner.get(), access).get()) return false;
  return true;
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
