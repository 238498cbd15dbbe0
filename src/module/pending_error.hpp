// Taking the exception an interpreter call left pending.
#pragma once

#include "python_error.hpp"

namespace vextral {

// Takes the pending exception out of the interpreter, so that none remains,
// for a caller that inspects or discards it. With none pending, the result
// is SystemError("attempted to fetch exception but none was set"). A
// PanicException raised by Python code we called is not an ordinary error:
// it is printed to standard error and resumed as an internal failure of the
// call (this function then throws ResumedPanic).
PythonError take_pending_error();

// Takes the pending exception as above and throws it: the one way to fail
// with it, as in `if (result == nullptr) raise_pending_error();`.
[[noreturn]] void raise_pending_error();

// Takes the pending exception without the PanicException rule; used while
// the PanicException class itself is being created.
PythonError take_pending_error_plainly();

}  // namespace vextral
