#include "entry_guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string_view>

#include "failure.hpp"
#include "panic_exception.hpp"
#include "panic_report.hpp"
#include "python_error.hpp"

namespace vextral::guard_detail {

namespace {

// Everything below may run when memory has run out, so it takes no heap
// memory of its own: messages are formatted into fixed buffers or passed as
// views, and where the interpreter cannot build an object it leaves its own
// MemoryError pending, which then reaches the caller instead.

void raise_memory_error(std::size_t bytes) noexcept {
  char message[64];
  std::snprintf(message, sizeof message, "memory allocation of %zu bytes failed", bytes);
  PyErr_SetString(PyExc_MemoryError, message);
}

// A failure that is no InternalFailure: reported where the guard caught it.
void raise_panic(std::string_view message,
                 const metrics::SourceLocation& where = metrics::SourceLocation::current()) {
  report_internal_failure(message, where, {});
  raise_panic_exception(message);
}

// Translates the exception being handled; `throw;` rethrows it in place,
// where std::rethrow_exception would allocate a new exception object.
void translate() {
  try {
    throw;
  } catch (PythonError& error) {
    error.restore();
  } catch (const metrics::AllocationFailure& failure) {
    raise_memory_error(failure.bytes());
  } catch (const ResumedPanic& panic) {
    // Its notice was written when it was taken from the interpreter.
    raise_panic_exception(panic.message());
  } catch (const metrics::InternalFailure& failure) {
    report_internal_failure(failure.message(), failure.where(), failure.backtrace());
    raise_panic_exception(failure.message());
  } catch (const std::length_error&) {
    // A buffer size beyond what the address space can represent.
    raise_panic("capacity overflow");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    raise_panic(other.what());
  } catch (...) {
    raise_panic("internal failure without a message");
  }
}

}  // namespace

void translate_current_exception() noexcept {
  try {
    translate();
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace vextral::guard_detail
