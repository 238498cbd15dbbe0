// Keepers for memory that an EmbeddingBatch reads in place from a Python
// object: the batch owns the keeper, and the keeper owns the export that
// keeps the memory valid. Batches are released inside the call, with the
// interpreter lock held, so the keepers may hand their exports back to the
// interpreter from their destructors.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "checked_size.hpp"
#include "metrics.hpp"
#include "py_ref.hpp"

namespace vextral {

// A buffer export (PyObject_GetBuffer), released when the keeper goes. The
// view lives at a fixed address from export to release.
class BufferKeeper final : public metrics::MemoryKeeper {
 public:
  BufferKeeper() = default;
  BufferKeeper(const BufferKeeper&) = delete;
  BufferKeeper& operator=(const BufferKeeper&) = delete;
  ~BufferKeeper() override {
    if (held_) PyBuffer_Release(&view_);
  }

  // PyObject_GetBuffer into the kept view; false (the exporter's exception
  // pending) when it fails.
  bool acquire(PyObject* object, int flags) {
    held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Any object whose reference keeps the memory alive (a DLPack capsule, whose
// destructor hands the tensor back to its producer).
class ReferenceKeeper final : public metrics::MemoryKeeper {
 public:
  explicit ReferenceKeeper(PyRef object) noexcept : object_(std::move(object)) {}

 private:
  PyRef object_;
};

// A keeper (or any small object) on the heap; when memory runs out this is an
// AllocationFailure with its byte count, as for every other buffer of the
// system, so the caller gets MemoryError("memory allocation of {n} bytes
// failed").
template <class T, class... Arguments>
std::unique_ptr<T> make_owned_object(Arguments&&... arguments) {
  T* object = new (std::nothrow) T(std::forward<Arguments>(arguments)...);
  if (object == nullptr) throw metrics::AllocationFailure(sizeof(T));
  return std::unique_ptr<T>(object);
}

// Whether a rectangle of `rows` x `columns` float32 values at `base`, with
// byte strides `row_stride` and `column_stride`, can be read in place as
// contiguous rows: aligned for float, and row-major without gaps (strides
// of a length-1 axis do not matter).
inline bool contiguous_float_rows(const void* base, std::size_t rows, std::size_t columns,
                                  std::ptrdiff_t row_stride, std::ptrdiff_t column_stride) noexcept {
  constexpr auto kSize = static_cast<std::ptrdiff_t>(sizeof(float));
  if (reinterpret_cast<std::uintptr_t>(base) % alignof(float) != 0) return false;
  if (columns > 1 && column_stride != kSize) return false;
  return rows <= 1 || metrics::checked_product<std::ptrdiff_t>(columns, kSize) == row_stride;
}

}  // namespace vextral
