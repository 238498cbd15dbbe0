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
// had (that error is discarded), capped at kMaxPreallocatedItems.
std::size_t length_hint(PyObject* object);

// The sequence check, the length hint, then every item in iteration order
// handed to `on_item(PyObject* item)` as a borrowed reference (released right
// after). `on_start(hint)` runs once before the first item.
template <class OnStart, class OnItem>
void extract_sequence(PyObject* object, OnStart&& on_start, OnItem&& on_item) {
  require_sequence(object);
  on_start(length_hint(object));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) raise_pending_error();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) on_item(item.get());
  if (PyErr_Occurred()) raise_pending_error();
}

}  // namespace vextral
