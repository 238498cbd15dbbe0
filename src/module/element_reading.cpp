#include "element_reading.hpp"

namespace vextral {

namespace {

template <class T>
void copy_row(const char* base, std::size_t length, std::ptrdiff_t stride, float* out) {
  if constexpr (std::is_same_v<T, float>) {
    if (length != 0 && stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
      std::memcpy(out, base, length * sizeof(float));
      return;
    }
  }
  for (std::size_t k = 0; k < length; ++k)
    out[k] = element_as_f32<T>(base + static_cast<std::ptrdiff_t>(k) * stride);
}

}  // namespace

bool append_matrix(const StridedMatrix& matrix, metrics::EmbeddingBatch& batch) {
  return with_element_type(matrix.type, [&]<class T>() {
    float* out = batch.append_rectangle(matrix.rows, matrix.columns);
    for (std::size_t i = 0; i < matrix.rows; ++i)
      copy_row<T>(matrix.base + static_cast<std::ptrdiff_t>(i) * matrix.row_stride, matrix.columns,
                  matrix.column_stride, out + i * matrix.columns);
    return true;
  });
}

bool append_row_values(const StridedRow& row, metrics::EmbeddingBatch& batch) {
  return with_element_type(row.type, [&]<class T>() {
    for (std::size_t k = 0; k < row.length; ++k)
      batch.push(element_as_f32<T>(row.base + static_cast<std::ptrdiff_t>(k) * row.stride));
    return true;
  });
}

bool can_read_identifiers(const StridedRow& row) {
  if (!row.type.is_integer()) return false;
  if (row.type.kind == ElementKind::unsigned_integer)
    return with_element_type(row.type, []<class T>() { return true; });
  return with_element_type(row.type, [&]<class T>() {
    if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      for (std::size_t i = 0; i < row.length; ++i)
        if (load<T>(row.base + static_cast<std::ptrdiff_t>(i) * row.stride) < 0) return false;
      return true;
    }
    return false;
  });
}

void append_identifiers(const StridedRow& row, IdentifierList& identifiers) {
  with_element_type(row.type, [&]<class T>() {
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
      for (std::size_t i = 0; i < row.length; ++i)
        identifiers.push_back(
            static_cast<std::uint64_t>(load<T>(row.base + static_cast<std::ptrdiff_t>(i) * row.stride)));
      return true;
    }
    return false;
  });
}

std::optional<IdentifierList> identifiers_of(const StridedRow& row) {
  if (!can_read_identifiers(row)) return std::nullopt;
  IdentifierList identifiers;
  identifiers.reserve(row.length);
  append_identifiers(row, identifiers);
  return identifiers;
}

}  // namespace vextral
