// The PanicException class: raised for internal failures, derived from
// BaseException so that `except Exception` does not swallow it.
#pragma once

#include "python.hpp"

namespace vextral {

// The class (borrowed), created and cached at first use. Throws
// metrics::InternalFailure if the class cannot be created, or the
// interpreter's MemoryError (as PythonError) if memory ran out meanwhile.
PyObject* panic_exception_type();

}  // namespace vextral
