// Taking the exception an interpreter call left pending.
#pragma once

#include "python_error.hpp"

namespace vextral {

// Takes the pending exception out of the interpreter, so that none remains.
// With none pending, the result is SystemError("attempted to fetch exception
// but none was set"). A PanicException raised by Python code we called is
// not an ordinary error: it is printed to standard error and resumed as an
// internal failure (this function then throws metrics::InternalFailure).
PythonError take_pending_error();

// Shorthand for the common `if (result == nullptr) raise_pending_error();`.
[[noreturn]] void raise_pending_error();

// Takes the pending exception without the PanicException rule; used while
// the PanicException class itself is being created.
PythonError take_pending_error_plainly();

}  // namespace vextral
