// Owning handle for a PyObject reference.
//
// Every reference the module owns lives in a PyRef, so error paths release
// what they hold by unwinding rather than by bookkeeping. Copies add a
// reference (the module only ever runs with the interpreter lock held).
#pragma once

#include <utility>

#include "python.hpp"

namespace vextral {

class PyRef {
 public:
  PyRef() noexcept = default;

  // Takes over a new reference (null allowed).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference to a borrowed one (null allowed).
  static PyRef borrow(PyObject* object) noexcept {
    if (object != nullptr) Py_IncRef(object);
    return PyRef(object);
  }

  PyRef(const PyRef& other) noexcept : object_(other.object_) {
    if (object_ != nullptr) Py_IncRef(object_);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  // A new reference to the same object for the caller, this one keeping its
  // own (null stays null).
  PyObject* new_reference() const noexcept {
    if (object_ != nullptr) Py_IncRef(object_);
    return object_;
  }

  void reset() noexcept {
    if (PyObject* old = std::exchange(object_, nullptr)) Py_DecRef(old);
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vextral
