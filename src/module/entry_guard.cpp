#include "entry_guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "failure.hpp"
#include "failure_report.hpp"
#include "panic_exception.hpp"
#include "python_error.hpp"
#include "text.hpp"

namespace vextral::guard_detail {

namespace {

void raise_panic(const metrics::InternalFailure& failure) {
  if (!failure.resumed()) report_internal_failure(failure);
  PyObject* panic_class = panic_exception_type();
  PyRef text = text_to_str(failure.message());
  PyRef args = text ? PyRef::steal(PyTuple_Pack(1, text.get())) : PyRef();
  if (!args) throw std::runtime_error("could not build the PanicException arguments");
  PyErr_SetObject(panic_class, args.get());
}

void translate(std::exception_ptr pending) {
  try {
    std::rethrow_exception(pending);
  } catch (PythonError& error) {
    error.restore();
  } catch (const metrics::AllocationFailure& failure) {
    PythonError::create(PyExc_MemoryError,
                        "memory allocation of " + std::to_string(failure.bytes()) + " bytes failed")
        .restore();
  } catch (const metrics::InternalFailure& failure) {
    raise_panic(failure);
  } catch (const std::length_error&) {
    // A buffer size beyond what the address space can represent.
    raise_panic(metrics::InternalFailure("capacity overflow"));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    raise_panic(metrics::InternalFailure(other.what()));
  } catch (...) {
    raise_panic(metrics::InternalFailure("internal failure without a message"));
  }
}

}  // namespace

void translate_current_exception() noexcept {
  try {
    translate(std::current_exception());
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace vextral::guard_detail
