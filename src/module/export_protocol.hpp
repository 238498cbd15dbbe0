// Calling an object's export method (__arrow_c_array__, __dlpack__, ...).
#pragma once

#include "py_ref.hpp"

namespace vextral {

// Whether the object's type defines `method` (looked up on the type, so no
// instance __getattr__ runs for objects that have no such method).
bool type_defines(PyObject* object, const char* method);

// object.method(), or null when the export fails with an ordinary Exception:
// the object is then read generically, which reports its own errors. An
// exception that is not an Exception (KeyboardInterrupt, SystemExit, a
// PanicException) ends the call, as it would from any Python code we run.
PyRef call_export(PyObject* object, const char* method, PyObject* keywords = nullptr);

}  // namespace vextral
