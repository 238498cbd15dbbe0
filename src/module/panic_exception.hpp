// PanicException, all of its Python side: the class raised for internal
// failures (derived from BaseException, so that `except Exception` does not
// swallow it), created once per process; raising it at the entry guard;
// resuming one that Python code raised; pickling its instances.
//
// One class per process: both extension modules (vextral_core and
// vextral._native) carry this layer, so a module about to create the class
// first looks for one that the other module registered with copyreg, and
// uses it.
//
// Pickling: the class claims the module "pyo3_runtime", which cannot be
// imported, so pickle cannot find it by name and a PanicException raised in a
// worker of a process pool could not travel back to the parent. Instead, a
// reduction registered with copyreg when the class is created pickles each
// instance as a call of vextral._native.rebuild_panic_exception with the
// instance's arguments; in the receiving process that call creates the class
// at first use, as the module itself would, and builds the instance.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "py_ref.hpp"

namespace vextral {

// A PanicException taken from Python code that a call ran, continuing as
// an internal failure of that call. Its notice was written when it was
// taken, so the entry guard only raises a new PanicException with the same
// message, without a second report.
class ResumedPanic : public std::exception {
 public:
  explicit ResumedPanic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// The class (borrowed), created and cached at first use. Throws
// metrics::InternalFailure if the class cannot be created, or the
// interpreter's MemoryError (as PythonError) if memory ran out meanwhile.
PyObject* panic_exception_type();

// Makes PanicException(message) the interpreter's current exception. Where
// memory runs out on the way, the interpreter's MemoryError is left pending
// instead. Throws what panic_exception_type() throws otherwise.
void raise_panic_exception(std::string_view message);

// Writes the notice for `exception`, a pending PanicException just taken
// from the interpreter, and throws ResumedPanic with its message.
[[noreturn]] void resume_panic(PyRef exception);

// The rebuilding entry point's body: the class (created at first use) called
// with `args`. Throws PythonError on failure.
PyRef rebuild_panic_exception(PyObject* args);

}  // namespace vextral
