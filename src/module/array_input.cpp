#include "array_input.hpp"

#include <bit>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace vextral {

namespace {

bool is_exact_ndarray(PyObject* object) {
  // Rows and elements are mostly lists, tuples and numbers: rule those out
  // before building the type's name.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object) || PyFloat_CheckExact(object) ||
      PyLong_CheckExact(object))
    return false;
  PyRef name = PyRef::steal(PyType_GetFullyQualifiedName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(text, size) == "numpy.ndarray";
}

// A buffer view released on every path.
class BufferView {
 public:
  // Views an exact numpy.ndarray of `dimensions` dimensions, with strides
  // and format; false (no exception pending) for anything else.
  bool acquire_ndarray(PyObject* object, int dimensions) {
    if (!is_exact_ndarray(object)) return false;
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return view_.ndim == dimensions;
  }
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

enum class ElementKind { unsupported, floating, signed_integer, unsigned_integer, boolean };

struct ElementType {
  ElementKind kind = ElementKind::unsupported;
  std::size_t size = 0;
};

// The element type of a buffer format such as "f", "<d" or "=q", if it is a
// native-endian real number or bool; the width comes from the item size.
ElementType element_type(const Py_buffer& view) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                          format[0] == (std::endian::native == std::endian::little ? '<' : '>')))
    format.remove_prefix(1);
  if (format.size() != 1) return {};
  const std::size_t size = static_cast<std::size_t>(view.itemsize);
  switch (format[0]) {
    case 'f':
    case 'd':
      return {ElementKind::floating, size};
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      return {ElementKind::signed_integer, size};
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      return {ElementKind::unsigned_integer, size};
    case '?':
      return {ElementKind::boolean, size};
    default:
      return {};
  }
}

template <class T>
T load(const char* address) {
  T value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

// Every element reaches float32 the way its Python float conversion would
// take it: floats as they are (float64 rounded once), integers and bools
// through double.
template <class T>
float element_as_f32(const char* address) {
  return static_cast<float>(static_cast<double>(load<T>(address)));
}
template <>
float element_as_f32<float>(const char* address) {
  return load<float>(address);
}
// A bool element is one byte, and any non-zero byte reads as True (a view
// of other bytes as bool is a valid array), so it is never loaded as a C++
// bool, whose other bit patterns are undefined.
template <>
float element_as_f32<bool>(const char* address) {
  return load<std::uint8_t>(address) != 0 ? 1.0f : 0.0f;
}

template <class T>
void copy_rows(const Py_buffer& view, float* out) {
  const std::size_t rows = static_cast<std::size_t>(view.shape[0]);
  const std::size_t columns = static_cast<std::size_t>(view.shape[1]);
  const char* base = static_cast<const char*>(view.buf);
  for (std::size_t i = 0; i < rows; ++i) {
    const char* row = base + static_cast<Py_ssize_t>(i) * view.strides[0];
    float* target = out + i * columns;
    if constexpr (std::is_same_v<T, float>) {
      if (columns != 0 && view.strides[1] == static_cast<Py_ssize_t>(sizeof(float))) {
        std::memcpy(target, row, columns * sizeof(float));
        continue;
      }
    }
    for (std::size_t k = 0; k < columns; ++k)
      target[k] = element_as_f32<T>(row + static_cast<Py_ssize_t>(k) * view.strides[1]);
  }
}

// Calls visit.template operator()<T>() with the C type of the elements.
template <class Visit>
bool with_element_type(ElementType type, Visit&& visit) {
  switch (type.kind) {
    case ElementKind::floating:
      if (type.size == 4) return visit.template operator()<float>();
      if (type.size == 8) return visit.template operator()<double>();
      return false;
    case ElementKind::boolean:
      if (type.size == 1) return visit.template operator()<bool>();
      return false;
    case ElementKind::signed_integer:
      switch (type.size) {
        case 1: return visit.template operator()<std::int8_t>();
        case 2: return visit.template operator()<std::int16_t>();
        case 4: return visit.template operator()<std::int32_t>();
        case 8: return visit.template operator()<std::int64_t>();
      }
      return false;
    case ElementKind::unsigned_integer:
      switch (type.size) {
        case 1: return visit.template operator()<std::uint8_t>();
        case 2: return visit.template operator()<std::uint16_t>();
        case 4: return visit.template operator()<std::uint32_t>();
        case 8: return visit.template operator()<std::uint64_t>();
      }
      return false;
    case ElementKind::unsupported:
      return false;
  }
  return false;
}

}  // namespace

std::optional<metrics::EmbeddingBatch> read_batch_array(PyObject* object) {
  BufferView view;
  if (!view.acquire_ndarray(object, 2)) return std::nullopt;
  std::optional<metrics::EmbeddingBatch> batch;
  with_element_type(element_type(*view), [&]<class T>() {
    batch.emplace();
    float* out = batch->append_rectangle(static_cast<std::size_t>(view->shape[0]),
                                         static_cast<std::size_t>(view->shape[1]));
    copy_rows<T>(*view, out);
    return true;
  });
  return batch;
}

bool read_row_array(PyObject* object, metrics::EmbeddingBatch& batch) {
  BufferView view;
  if (!view.acquire_ndarray(object, 1)) return false;
  return with_element_type(element_type(*view), [&]<class T>() {
    const std::size_t length = static_cast<std::size_t>(view->shape[0]);
    const char* base = static_cast<const char*>(view->buf);
    for (std::size_t k = 0; k < length; ++k)
      batch.push(element_as_f32<T>(base + static_cast<Py_ssize_t>(k) * view->strides[0]));
    return true;
  });
}

std::optional<IdentifierList> read_identifier_array(PyObject* object) {
  BufferView view;
  if (!view.acquire_ndarray(object, 1)) return std::nullopt;
  ElementType type = element_type(*view);
  // Floats and bools are refused by the index conversion, and negative
  // values overflow: the generic reading raises those errors.
  if (type.kind != ElementKind::signed_integer && type.kind != ElementKind::unsigned_integer)
    return std::nullopt;
  std::optional<IdentifierList> identifiers;
  with_element_type(type, [&]<class T>() {
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
      const std::size_t length = static_cast<std::size_t>(view->shape[0]);
      const char* base = static_cast<const char*>(view->buf);
      IdentifierList values(length);
      for (std::size_t i = 0; i < length; ++i) {
        T value = load<T>(base + static_cast<Py_ssize_t>(i) * view->strides[0]);
        if constexpr (std::is_signed_v<T>) {
          if (value < 0) return false;
        }
        values[i] = static_cast<std::uint64_t>(value);
      }
      identifiers = std::move(values);
      return true;
    }
    return false;
  });
  return identifiers;
}

}  // namespace vextral
