// vextral._native.rebuild_panic_exception(*args): builds a PanicException
// from its pickled arguments, in the process that unpickles it.
#pragma once

#include "python.hpp"

namespace vextral::native {

PyObject* rebuild_panic_exception(PyObject* module, PyObject* args);

}  // namespace vextral::native
