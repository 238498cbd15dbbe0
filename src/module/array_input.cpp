#include "array_input.hpp"

#include <string_view>

#include "borrowed_memory.hpp"
#include "element_reading.hpp"
#include "pending_error.hpp"

namespace vextral {

namespace {

// Which exporter a buffer comes from decides which element formats read as
// the numbers its iteration would yield.
enum class Exporter { numpy, array_module, memoryview, bytes };

std::optional<Exporter> buffer_exporter(PyObject* object, KnownTypes& types, bool rows_too) {
  if (types.is_numpy_array(object)) return Exporter::numpy;
  if (!rows_too) return std::nullopt;
  if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object)) return Exporter::bytes;
  if (PyMemoryView_Check(object) && Py_IS_TYPE(object, &PyMemoryView_Type)) return Exporter::memoryview;
  if (types.is_array_array(object)) return Exporter::array_module;
  return std::nullopt;
}

// The element type of a buffer format such as "f", "<d" or "=q", if it is a
// native-endian real number or bool; the width comes from the item size.
ElementType element_type(const Py_buffer& view, Exporter exporter) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                          format[0] == (std::endian::native == std::endian::little ? '<' : '>')))
    format.remove_prefix(1);
  if (format.size() != 1) return {};
  const std::size_t size = static_cast<std::size_t>(view.itemsize);
  switch (format[0]) {
    case 'e':
    case 'f':
    case 'd':
      return {ElementKind::floating, size};
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      return {ElementKind::signed_integer, size};
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      return {ElementKind::unsigned_integer, size};
    case '?':
      // A memoryview unpacks a bool byte other than 0 or 1 in a way not
      // worth relying on; NumPy reads any non-zero byte as True.
      if (exporter != Exporter::numpy) return {};
      return {ElementKind::boolean, size};
    default:
      return {};
  }
}

// A buffer view of a recognised exporter, released on every path unless a
// batch takes it over to read the memory in place.
class BufferView {
 public:
  // False (no exception pending) unless the object is a recognised exporter
  // whose buffer has `dimensions` dimensions, a readable element type and
  // sizes that can exist (see can_exist).
  bool acquire(PyObject* object, int dimensions, KnownTypes& types, bool rows_too) {
    std::optional<Exporter> exporter = buffer_exporter(object, types, rows_too);
    if (!exporter) return false;
    keeper_ = make_owned_object<BufferKeeper>();
    if (!keeper_->acquire(object, PyBUF_RECORDS_RO)) {
      // Whatever made the export fail (a released memoryview, say) makes
      // the generic reading fail as well, with its own error.
      take_pending_error();
      return false;
    }
    type_ = element_type(view(), *exporter);
    if (view().ndim != dimensions || type_.kind == ElementKind::unsupported) return false;
    // NumPy lets a view claim any shape and strides (as_strided): its sizes
    // are checked like any producer's.
    for (int axis = 0; axis < dimensions; ++axis)
      if (view().shape[axis] < 0) return false;
    return dimensions == 2 ? can_exist(matrix()) : can_exist(row());
  }

  StridedMatrix matrix() const {
    return {static_cast<const char*>(view().buf), type_, static_cast<std::size_t>(view().shape[0]),
            static_cast<std::size_t>(view().shape[1]), view().strides[0], view().strides[1]};
  }
  StridedRow row() const {
    return {static_cast<const char*>(view().buf), type_, static_cast<std::size_t>(view().shape[0]),
            view().strides[0]};
  }

  // The matrix as a batch reading the buffer in place, when its elements
  // are contiguous rows of float32; the batch then holds the export.
  std::optional<metrics::EmbeddingBatch> borrowed_matrix() {
    const StridedMatrix m = matrix();
    if (m.type.kind != ElementKind::floating || m.type.size != sizeof(float) ||
        !contiguous_float_rows(m.base, m.rows, m.columns, m.row_stride, m.column_stride))
      return std::nullopt;
    return metrics::EmbeddingBatch::borrowing(reinterpret_cast<const float*>(m.base), m.rows, m.columns,
                                              std::move(keeper_));
  }

 private:
  const Py_buffer& view() const noexcept { return keeper_->view(); }

  std::unique_ptr<BufferKeeper> keeper_;
  ElementType type_{};
};

}  // namespace

std::optional<metrics::EmbeddingBatch> read_batch_array(PyObject* object, KnownTypes& types) {
  BufferView view;
  if (!view.acquire(object, 2, types, /*rows_too=*/false)) return std::nullopt;
  if (std::optional<metrics::EmbeddingBatch> borrowed = view.borrowed_matrix()) return borrowed;
  metrics::EmbeddingBatch batch;
  if (!append_matrix(view.matrix(), batch)) return std::nullopt;
  return batch;
}

bool read_row_array(PyObject* object, metrics::EmbeddingBatch& batch, KnownTypes& types) {
  BufferView view;
  if (!view.acquire(object, 1, types, /*rows_too=*/true)) return false;
  return append_row_values(view.row(), batch);
}

std::optional<IdentifierList> read_identifier_array(PyObject* object, KnownTypes& types) {
  BufferView view;
  if (!view.acquire(object, 1, types, /*rows_too=*/true)) return std::nullopt;
  return identifiers_of(view.row());
}

}  // namespace vextral
