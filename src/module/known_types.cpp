#include "known_types.hpp"

namespace vextral {

namespace {

// sys.modules[module_name].attribute, or null; a failed look-up is nobody's
// error here (the object is then simply read generically).
PyRef imported_attribute(const char* module_name, const char* attribute) {
  PyRef name = PyRef::steal(PyUnicode_FromString(module_name));
  if (!name) {
    PyErr_Clear();
    return {};
  }
  PyRef module = PyRef::steal(PyImport_GetModule(name.get()));
  if (!module) {
    PyErr_Clear();
    return {};
  }
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(module.get(), attribute, &value) < 0) PyErr_Clear();
  PyRef held = PyRef::steal(value);
  if (!held || !PyType_Check(held.get())) return {};
  return held;
}

// Whether `type.name` and `owner.name` are the same object: the attribute is
// inherited unchanged.
bool same_attribute(PyTypeObject* type, PyObject* owner, const char* name) {
  PyRef mine = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
  PyRef theirs = PyRef::steal(PyObject_GetAttrString(owner, name));
  if (!mine || !theirs) {
    PyErr_Clear();
    return false;
  }
  return mine.get() == theirs.get();
}

bool same_slot(PyTypeObject* type, PyObject* owner, int slot) {
  return PyType_GetSlot(type, slot) == PyType_GetSlot(reinterpret_cast<PyTypeObject*>(owner), slot);
}

PyTypeObject* as_type(const PyRef& type) { return reinterpret_cast<PyTypeObject*>(type.get()); }

}  // namespace

void KnownTypes::resolve_numpy() {
  numpy_resolved_ = true;
  PyRef ndarray = imported_attribute("numpy", "ndarray");
  // NumPy's ndarray is a static type of its C core; any class made in
  // Python is a heap type, so a stand-in module cannot pass one off as it.
  if (!ndarray || (PyType_GetFlags(as_type(ndarray)) & Py_TPFLAGS_HEAPTYPE) != 0) return;
  ndarray_ = std::move(ndarray);
  PyRef memmap = imported_attribute("numpy", "memmap");
  if (memmap && PyType_IsSubtype(as_type(memmap), as_type(ndarray_))) memmap_ = std::move(memmap);
}

bool KnownTypes::numpy_reads_natively(PyTypeObject* type) {
  if (!PyType_IsSubtype(type, as_type(ndarray_))) return false;
  // Length, iteration and the buffer are NumPy's own...
  for (int slot : {Py_tp_iter, Py_sq_length, Py_mp_length, Py_bf_getbuffer, Py_bf_releasebuffer})
    if (!same_slot(type, ndarray_.get(), slot)) return false;
  if (!same_attribute(type, ndarray_.get(), "__iter__") || !same_attribute(type, ndarray_.get(), "__len__"))
    return false;
  // ...and so is item access (NumPy iterates by index), or it is memmap's,
  // which returns what NumPy's gives, at most viewed as a plain ndarray.
  // Every row view that item access makes runs __array_finalize__.
  if (same_slot(type, ndarray_.get(), Py_sq_item) && same_slot(type, ndarray_.get(), Py_mp_subscript) &&
      same_attribute(type, ndarray_.get(), "__getitem__"))
    return same_attribute(type, ndarray_.get(), "__array_finalize__");
  return memmap_ && PyType_IsSubtype(type, as_type(memmap_)) &&
         same_attribute(type, memmap_.get(), "__getitem__") &&
         same_attribute(type, memmap_.get(), "__array_finalize__");
}

bool KnownTypes::is_numpy_array(PyObject* object) {
  if (is_plain_builtin(object)) return false;
  if (!numpy_resolved_) resolve_numpy();
  if (!ndarray_) return false;
  PyTypeObject* type = Py_TYPE(object);
  if (type == as_type(ndarray_)) return true;
  if (judged_type_.get() != reinterpret_cast<PyObject*>(type)) {
    judged_natively_ = numpy_reads_natively(type);
    judged_type_ = PyRef::borrow(reinterpret_cast<PyObject*>(type));
  }
  return judged_natively_;
}

bool KnownTypes::is_exact_numpy_array(PyObject* object) {
  if (is_plain_builtin(object)) return false;
  if (!numpy_resolved_) resolve_numpy();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  return ndarray_ && (type == ndarray_.get() || type == memmap_.get());
}

bool KnownTypes::is_any_numpy_array(PyObject* object) {
  if (is_plain_builtin(object)) return false;
  if (!numpy_resolved_) resolve_numpy();
  return ndarray_ && PyType_IsSubtype(Py_TYPE(object), as_type(ndarray_));
}

bool KnownTypes::is_array_array(PyObject* object) {
  if (is_plain_builtin(object)) return false;
  if (!array_resolved_) {
    array_resolved_ = true;
    array_type_ = imported_attribute("array", "array");
  }
  return array_type_ && reinterpret_cast<PyObject*>(Py_TYPE(object)) == array_type_.get();
}

}  // namespace vextral
