#include "batch_argument.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "borrowed_memory.hpp"
#include "conversion.hpp"
#include "mapped_rows.hpp"
#include "pending_error.hpp"

namespace vextral::native {

namespace {

// 'f' or 'd', with or without the native-order prefix; 0 for anything else.
char float_format(const Py_buffer& view) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=')) format.remove_prefix(1);
  if (format == "f" && view.itemsize == 4) return 'f';
  if (format == "d" && view.itemsize == 8) return 'd';
  return 0;
}

template <class T>
void copy_elements(const Py_buffer& view, float* out) {
  const std::size_t rows = static_cast<std::size_t>(view.shape[0]);
  const std::size_t columns = static_cast<std::size_t>(view.shape[1]);
  const char* base = static_cast<const char*>(view.buf);
  for (std::size_t i = 0; i < rows; ++i) {
    const char* row = base + static_cast<Py_ssize_t>(i) * view.strides[0];
    for (std::size_t k = 0; k < columns; ++k) {
      T value;
      std::memcpy(&value, row + static_cast<Py_ssize_t>(k) * view.strides[1], sizeof value);
      // A float64 narrows once, round to nearest, as the float conversion does.
      out[i * columns + k] = static_cast<float>(value);
    }
  }
}

std::optional<metrics::EmbeddingBatch> read_memoryview(PyObject* object) {
  if (!PyMemoryView_Check(object)) return std::nullopt;
  auto keeper = make_owned_object<BufferKeeper>();
  if (!keeper->acquire(object, PyBUF_RECORDS_RO)) {
    // A released view: the generic reading raises its own error.
    take_pending_error();
    return std::nullopt;
  }
  const Py_buffer& view = keeper->view();
  if (view.ndim != 2) return std::nullopt;
  const char format = float_format(view);
  if (format == 0) return std::nullopt;
  const auto rows = static_cast<std::size_t>(view.shape[0]);
  const auto columns = static_cast<std::size_t>(view.shape[1]);
  if (format == 'f' && contiguous_float_rows(view.buf, rows, columns, view.strides[0], view.strides[1]))
    return metrics::EmbeddingBatch::borrowing(static_cast<const float*>(view.buf), rows, columns,
                                              std::move(keeper));
  metrics::EmbeddingBatch batch;
  float* out = batch.append_rectangle(rows, columns);
  if (format == 'f')
    copy_elements<float>(view, out);
  else
    copy_elements<double>(view, out);
  return batch;
}

}  // namespace

metrics::EmbeddingBatch batch_argument(PyObject* object, std::string_view parameter) {
  if (std::optional<metrics::EmbeddingBatch> batch = read_mapped_rows(object)) return std::move(*batch);
  if (std::optional<metrics::EmbeddingBatch> batch = read_memoryview(object)) return std::move(*batch);
  return extract_batch_argument(object, parameter);
}

}  // namespace vextral::native
