// Reading numbers straight out of memory that another library laid out
// (a buffer export, an Arrow array, a DLPack tensor), with the value each
// element would have had if it had been read one Python object at a time.
//
// Every element reaches float32 the way its own float conversion would take
// it: float32 as it is, wider floats rounded once, half floats widened
// exactly, integers and bools through double (the float of a Python int is
// its correctly rounded double).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "conversion.hpp"
#include "metrics.hpp"

namespace vextral {

enum class ElementKind { unsupported, floating, brain_floating, signed_integer, unsigned_integer, boolean };

struct ElementType {
  ElementKind kind = ElementKind::unsupported;
  std::size_t size = 0;

  bool is_integer() const noexcept {
    return kind == ElementKind::signed_integer || kind == ElementKind::unsigned_integer;
  }
};

// IEEE half and bfloat16 bit patterns, told apart from plain integers.
struct Half {
  std::uint16_t bits;
};
struct BFloat16 {
  std::uint16_t bits;
};

template <class T>
T load(const char* address) {
  T value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

// Exact: every half value is a float32 value.
inline float half_to_f32(std::uint16_t bits) {
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1fu;
  std::uint32_t mantissa = bits & 0x3ffu;
  if (exponent == 0x1f) return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
  if (exponent != 0) return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
  if (mantissa == 0) return std::bit_cast<float>(sign);
  // Subnormal half: a normal float32 after shifting the leading one out.
  std::uint32_t shift = 0;
  while ((mantissa & 0x400u) == 0) {
    mantissa <<= 1;
    ++shift;
  }
  return std::bit_cast<float>(sign | ((113 - shift) << 23) | ((mantissa & 0x3ffu) << 13));
}

template <class T>
float element_as_f32(const char* address) {
  if constexpr (std::is_same_v<T, float>) {
    return load<float>(address);
  } else if constexpr (std::is_same_v<T, Half>) {
    return half_to_f32(load<std::uint16_t>(address));
  } else if constexpr (std::is_same_v<T, BFloat16>) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(load<std::uint16_t>(address)) << 16);
  } else if constexpr (std::is_same_v<T, bool>) {
    // One byte, any non-zero value true; never loaded as a C++ bool, whose
    // other bit patterns are undefined.
    return load<std::uint8_t>(address) != 0 ? 1.0f : 0.0f;
  } else {
    return static_cast<float>(static_cast<double>(load<T>(address)));
  }
}

// Calls visit.template operator()<T>() with the C type of the elements;
// false when the type has none.
template <class Visit>
bool with_element_type(ElementType type, Visit&& visit) {
  switch (type.kind) {
    case ElementKind::floating:
      if (type.size == 2) return visit.template operator()<Half>();
      if (type.size == 4) return visit.template operator()<float>();
      if (type.size == 8) return visit.template operator()<double>();
      return false;
    case ElementKind::brain_floating:
      if (type.size == 2) return visit.template operator()<BFloat16>();
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

// A rectangle of elements: `rows` rows of `columns` elements; element (i, k)
// at base + i * row_stride + k * column_stride (strides in bytes, any sign).
struct StridedMatrix {
  const char* base = nullptr;
  ElementType type{};
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t column_stride = 0;
};

// One row of elements: `length` elements, element k at base + k * stride.
struct StridedRow {
  const char* base = nullptr;
  ElementType type{};
  std::size_t length = 0;
  std::ptrdiff_t stride = 0;
};

// Whether the sizes describe memory that can exist: its element count fits
// in size_t, and every byte it reads lies at an offset from `base` that
// ptrdiff_t represents, within the address space (and off a null base).
// Shapes and strides come from producers, and nothing else is checked
// against them: what cannot exist is read generically, item by item.
bool can_exist(const StridedMatrix& matrix);
bool can_exist(const StridedRow& row);

// The matrix appended to `batch` as new rows; false (batch unchanged) when
// its element type cannot be read or its sizes cannot exist. A copy larger
// than memory can hold is an AllocationFailure.
bool append_matrix(const StridedMatrix& matrix, metrics::EmbeddingBatch& batch);

// The row's elements appended to the row `batch` opened last; false (batch
// unchanged) as for append_matrix.
bool append_row_values(const StridedRow& row, metrics::EmbeddingBatch& batch);

// Whether every element would pass the identifier conversion, which takes
// only non-negative integers (floats and bools are refused, negatives
// overflow: the generic reading raises those errors). The row's sizes must
// exist (can_exist).
bool can_read_identifiers(const StridedRow& row);

// The row's elements appended to `identifiers`; can_read_identifiers first.
void append_identifiers(const StridedRow& row, IdentifierList& identifiers);

// The row as an identifier list, or nothing when an element would not pass
// the identifier conversion or the sizes cannot exist (the generic reading
// then raises its error). A list larger than memory can hold is an
// AllocationFailure, before any element is looked at.
std::optional<IdentifierList> identifiers_of(const StridedRow& row);

}  // namespace vextral
