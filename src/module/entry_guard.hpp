// The entry guard: every entry point the interpreter calls runs inside it.
//
// Inside the guard, failures are C++ exceptions; at the guard they become the
// interpreter's current exception and the entry point returns null:
//   PythonError        -> that exception, unchanged
//   InternalFailure    -> report on standard error, then PanicException
//   ResumedPanic       -> PanicException (its notice was written already)
//   AllocationFailure  -> MemoryError("memory allocation of {n} bytes failed")
// Nothing escapes: if even the translation fails, the process ends with
// "uncaught panic at ffi boundary". Every entry counts against the
// interpreter's recursion limit (RecursionGuard).
#pragma once

#include "float_environment.hpp"
#include "python.hpp"
#include "recursion_guard.hpp"

namespace vextral {

namespace guard_detail {
void translate_current_exception() noexcept;
}

template <class Work>
PyObject* run_guarded(Work&& work) noexcept {
  // The whole call, conversions included: narrowing a Python float to
  // float32 rounds in the caller's mode too.
  const metrics::DefaultFloatEnvironment float_environment;
  try {
    // Inside the try, so that a RecursionError is translated like any other.
    RecursionGuard depth;
    return work();
  } catch (...) {
    guard_detail::translate_current_exception();
    return nullptr;
  }
}

}  // namespace vextral
