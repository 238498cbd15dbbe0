// Calling an object's export method (__arrow_c_array__, __dlpack__, ...).
#pragma once

#include "py_ref.hpp"

namespace vextral {

// Whether the object's type has the export method `method` from a class that
// also gives it its item access, iteration and length (__getitem__, __iter__,
// __len__): then the exported data is what iterating the object yields. A
// subclass that overrides any of them while inheriting the export (an
// ndarray subclass with its own __getitem__ still has NumPy's __dlpack__)
// keeps the generic path. Looked up on the type, so no instance __getattr__
// runs for the many objects that have no such method.
bool exports_what_it_iterates(PyObject* object, const char* method);

// object.method(), or null when the export fails with an ordinary Exception:
// the object is then read generically, which reports its own errors. An
// exception that is not an Exception (KeyboardInterrupt, SystemExit, a
// PanicException) ends the call, as it would from any Python code we run.
PyRef call_export(PyObject* object, const char* method, PyObject* keywords = nullptr);

}  // namespace vextral
