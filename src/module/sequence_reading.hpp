// Reading any Python sequence (not only lists) item by item.
#pragma once

#include <algorithm>
#include <cstddef>

#include "pending_error.hpp"
#include "py_ref.hpp"

namespace vextral {

// Pre-allocation follows the sequence's own length, but never beyond this
// many items: a length method may report anything, and storage still grows
// on demand when the iteration yields more.
inline constexpr std::size_t kMaxPreallocatedItems = std::size_t{1} << 20;

// Fails with TypeError("'{type}' object cannot be converted to 'Sequence'")
// unless the object passes the interpreter's sequence check.
void require_sequence(PyObject* object);

// The sequence's length as an allocation hint: 0 when the length cannot be
// had (an Exception is discarded; any other BaseException is thrown on),
// capped at kMaxPreallocatedItems.
std::size_t length_hint(PyObject* object);

// Whether converting this item can run no Python code, so that a borrowed
// reference to it stays valid throughout: exact floats and ints.
inline bool is_inert_number(PyObject* item) {
  return PyFloat_CheckExact(item) || PyLong_CheckExact(item);
}

// The sequence check, the length hint, then every item in iteration order
// handed to `on_item(PyObject* item)`, which must not keep the reference.
// `on_start(hint)` runs once before the first item.
template <class OnStart, class OnItem>
void extract_sequence(PyObject* object, OnStart&& on_start, OnItem&& on_item) {
  // Lists and tuples are read by index, which visits exactly the items their
  // iterators would (a list is re-measured at every step, as its iterator
  // does) without an iterator object or a new reference per number.
  if (PyList_CheckExact(object)) {
    Py_ssize_t size = PyList_Size(object);
    on_start(std::min(static_cast<std::size_t>(size), kMaxPreallocatedItems));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyList_GetItem(object, i);
      if (is_inert_number(item)) {
        on_item(item);
      } else {
        // The conversion may run code that changes the list and drops the
        // item: hold it, and measure the list again afterwards.
        PyRef held = PyRef::borrow(item);
        on_item(held.get());
        size = PyList_Size(object);
      }
    }
    return;
  }
  if (PyTuple_CheckExact(object)) {
    const Py_ssize_t size = PyTuple_Size(object);
    on_start(std::min(static_cast<std::size_t>(size), kMaxPreallocatedItems));
    for (Py_ssize_t i = 0; i < size; ++i) on_item(PyTuple_GetItem(object, i));
    return;
  }
  require_sequence(object);
  on_start(length_hint(object));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) raise_pending_error();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) on_item(item.get());
  if (PyErr_Occurred()) raise_pending_error();
}

}  // namespace vextral
