#include "element_reading.hpp"

#include "checked_size.hpp"

namespace vextral {

namespace {

using metrics::checked_difference;
using metrics::checked_product;
using metrics::checked_sum;

// The lowest and highest offsets from a base, in bytes, at which a walk over
// the elements reads an element's first byte.
struct Reach {
  std::ptrdiff_t lowest = 0;
  std::ptrdiff_t highest = 0;
};

// Widens `reach` by an axis of `length` (at least 1) elements `stride` bytes
// apart; false when an offset has no representation.
bool extend(Reach& reach, std::size_t length, std::ptrdiff_t stride) {
  const std::optional<std::ptrdiff_t> last = checked_product<std::ptrdiff_t>(length - 1, stride);
  if (!last) return false;
  std::ptrdiff_t& end = *last < 0 ? reach.lowest : reach.highest;
  const std::optional<std::ptrdiff_t> moved = checked_sum<std::ptrdiff_t>(end, *last);
  if (!moved) return false;
  end = *moved;
  return true;
}

// Whether the bytes [base + lowest, base + highest + element_size) lie within
// the address space and span no more than ptrdiff_t can measure, so that
// every offset a walk computes inside them is representable too.
bool addressable(const char* base, const Reach& reach, std::size_t element_size) {
  if (base == nullptr) return false;
  const std::optional<std::ptrdiff_t> end = checked_sum<std::ptrdiff_t>(reach.highest, element_size);
  if (!end || !checked_difference<std::ptrdiff_t>(*end, reach.lowest)) return false;
  const auto address = reinterpret_cast<std::uintptr_t>(base);
  return checked_sum<std::uintptr_t>(address, reach.lowest) && checked_sum<std::uintptr_t>(address, *end);
}

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

bool can_exist(const StridedMatrix& matrix) {
  if (!checked_product<std::size_t>(matrix.rows, matrix.columns)) return false;
  if (matrix.rows == 0 || matrix.columns == 0) return true;
  Reach reach;
  return extend(reach, matrix.rows, matrix.row_stride) && extend(reach, matrix.columns, matrix.column_stride) &&
         addressable(matrix.base, reach, matrix.type.size);
}

bool can_exist(const StridedRow& row) {
  if (row.length == 0) return true;
  Reach reach;
  return extend(reach, row.length, row.stride) && addressable(row.base, reach, row.type.size);
}

bool append_matrix(const StridedMatrix& matrix, metrics::EmbeddingBatch& batch) {
  if (!can_exist(matrix)) return false;
  return with_element_type(matrix.type, [&]<class T>() {
    float* out = batch.append_rectangle(matrix.rows, matrix.columns);
    // Rows of no elements read nothing, and their stride, which can_exist
    // did not look at, is never multiplied.
    if (matrix.columns == 0) return true;
    for (std::size_t i = 0; i < matrix.rows; ++i)
      copy_row<T>(matrix.base + static_cast<std::ptrdiff_t>(i) * matrix.row_stride, matrix.columns,
                  matrix.column_stride, out + i * matrix.columns);
    return true;
  });
}

bool append_row_values(const StridedRow& row, metrics::EmbeddingBatch& batch) {
  if (!can_exist(row)) return false;
  return with_element_type(row.type, [&]<class T>() {
    // Sized once, checked: a row of 2**62 elements 0 bytes apart is a
    // MemoryError at once, not a batch grown until memory runs out.
    copy_row<T>(row.base, row.length, row.stride, batch.append_values(row.length));
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
  if (!row.type.is_integer() || !can_exist(row)) return std::nullopt;
  // The list is sized before the elements are scanned, so that the scan is
  // never longer than memory could hold (a row of 2**61 elements 0 bytes
  // apart would otherwise be scanned for a negative for years).
  IdentifierList identifiers;
  metrics::require_storage<std::uint64_t>(row.length);
  identifiers.reserve(row.length);
  if (!can_read_identifiers(row)) return std::nullopt;
  append_identifiers(row, identifiers);
  return identifiers;
}

}  // namespace vextral
