// Recognising the array types that are read straight from their memory.
//
// A type is recognised by identity with the class of an already imported
// module (sys.modules["numpy"].ndarray, sys.modules["array"].array), never by
// its name: a class that merely calls itself numpy.ndarray is read like any
// other object, with the same errors. Nothing is imported here; a program
// that never imported NumPy has no NumPy arrays to pass.
//
// One KnownTypes lives for the conversion of one argument; it looks each
// module up at most once, and only when an object that could be one of its
// arrays turns up.
#pragma once

#include "py_ref.hpp"

namespace vextral {

class KnownTypes {
 public:
  // Whether `object` is a NumPy array whose item access, iteration, length
  // and buffer export are NumPy's own, so that reading its buffer gives what
  // iterating it would: numpy.ndarray, numpy.memmap (whose item access only
  // hands back what NumPy's own gives), and their subclasses that override
  // none of these. Other subclasses (numpy.matrix, masked arrays, anything
  // with its own __getitem__) are read generically.
  bool is_numpy_array(PyObject* object);

  // Whether the type of `object` is exactly numpy.ndarray or numpy.memmap.
  bool is_exact_numpy_array(PyObject* object);

  // Whether `object` is an instance of numpy.ndarray or of any subclass:
  // those not read by is_numpy_array keep the generic path, never another
  // export NumPy gives them (its __dlpack__ skips a subclass's own hooks).
  bool is_any_numpy_array(PyObject* object);

  // Whether `object` is exactly an array.array (a subclass may iterate as it
  // likes).
  bool is_array_array(PyObject* object);

 private:
  void resolve_numpy();
  bool numpy_reads_natively(PyTypeObject* type);

  bool numpy_resolved_ = false;
  PyRef ndarray_;  // null when NumPy is not imported
  PyRef memmap_;   // null when absent
  // The last subclass judged, so that rows of one array type are judged once.
  PyRef judged_type_;
  bool judged_natively_ = false;

  bool array_resolved_ = false;
  PyRef array_type_;
};

// Whether the object is one that never needs a type lookup: the exact
// built-in containers and numbers that make up most rows and elements.
inline bool is_plain_builtin(PyObject* object) {
  return PyList_CheckExact(object) || PyTuple_CheckExact(object) || PyFloat_CheckExact(object) ||
         PyLong_CheckExact(object) || PyUnicode_CheckExact(object);
}

}  // namespace vextral
