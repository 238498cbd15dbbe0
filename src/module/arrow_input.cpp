#include "arrow_input.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "arrow_c_data.hpp"
#include "checked_size.hpp"
#include "element_reading.hpp"
#include "export_protocol.hpp"
#include "known_types.hpp"
#include "pending_error.hpp"

namespace vextral {

namespace {

ElementType arrow_element_type(const char* format) {
  if (format == nullptr || format[0] == '\0' || format[1] != '\0') return {};
  switch (format[0]) {
    case 'e': return {ElementKind::floating, 2};
    case 'f': return {ElementKind::floating, 4};
    case 'g': return {ElementKind::floating, 8};
    case 'c': return {ElementKind::signed_integer, 1};
    case 'C': return {ElementKind::unsigned_integer, 1};
    case 's': return {ElementKind::signed_integer, 2};
    case 'S': return {ElementKind::unsigned_integer, 2};
    case 'i': return {ElementKind::signed_integer, 4};
    case 'I': return {ElementKind::unsigned_integer, 4};
    case 'l': return {ElementKind::signed_integer, 8};
    case 'L': return {ElementKind::unsigned_integer, 8};
    default: return {};  // booleans too: their scalars have no float conversion
  }
}

std::int32_t read_i32(const char*& cursor) {
  std::int32_t value;
  std::memcpy(&value, cursor, sizeof value);
  cursor += sizeof value;
  return value;
}

// Extension types iterate as their own scalars: only plain storage is read.
bool has_extension_type(const char* metadata) {
  if (metadata == nullptr) return false;
  const char* cursor = metadata;
  const std::int32_t entries = read_i32(cursor);
  for (std::int32_t i = 0; i < entries; ++i) {
    const std::int32_t key_length = read_i32(cursor);
    if (key_length < 0) return true;
    std::string_view key(cursor, static_cast<std::size_t>(key_length));
    cursor += key_length;
    const std::int32_t value_length = read_i32(cursor);
    if (value_length < 0) return true;
    cursor += value_length;
    if (key == "ARROW:extension:name") return true;
  }
  return false;
}

bool plain_schema(const ArrowSchema& schema, std::int64_t children) {
  return schema.format != nullptr && schema.dictionary == nullptr && schema.n_children == children &&
         (children == 0 || (schema.children != nullptr && schema.children[0] != nullptr)) &&
         !has_extension_type(schema.metadata);
}

// Whether elements [first, first + count) of the array (absolute indices,
// the array's own offset included, their end known to fit in int64) are all
// valid; false too when the validity bitmap they need cannot exist.
bool all_valid(const ArrowArray& array, std::int64_t first, std::int64_t count) {
  if (array.null_count == 0 || array.n_buffers < 1 || array.buffers[0] == nullptr) return true;
  const std::int64_t end = first + count;
  const auto* bits = static_cast<const std::uint8_t*>(array.buffers[0]);
  const std::size_t bytes = static_cast<std::size_t>(end / 8 + 1);
  if (!can_exist(StridedRow{reinterpret_cast<const char*>(bits), {ElementKind::unsigned_integer, 1}, bytes, 1}))
    return false;
  for (std::int64_t i = first; i < end; ++i)
    if (((bits[i >> 3] >> (i & 7)) & 1) == 0) return false;
  return true;
}

// The end of an array's elements, offset + length, where int64 has it.
std::optional<std::int64_t> element_end(const ArrowArray& array) {
  return metrics::checked_sum<std::int64_t>(array.offset, array.length);
}

bool plain_array(const ArrowArray& array, std::int64_t buffers, std::int64_t children) {
  return array.length >= 0 && array.offset >= 0 && array.n_buffers >= buffers && array.buffers != nullptr &&
         array.n_children == children && array.dictionary == nullptr &&
         (children == 0 || (array.children != nullptr && array.children[0] != nullptr));
}

// The exported schema and arrays of one object, released on every path.
class ArrowInput {
 public:
  ArrowInput() = default;
  ArrowInput(const ArrowInput&) = delete;
  ArrowInput& operator=(const ArrowInput&) = delete;
  ~ArrowInput() {
    for (ArrowArray& chunk : owned_chunks_)
      if (chunk.release != nullptr) chunk.release(&chunk);
    if (owned_schema_.release != nullptr) owned_schema_.release(&owned_schema_);
  }

  // False (nothing pending) when the object exports no Arrow data that can
  // be had, or is not a sequence (the generic reading then refuses it).
  bool acquire(PyObject* object) {
    if (is_plain_builtin(object)) return false;
    if (exports_what_it_iterates(object, "__arrow_c_array__")) {
      if (!PySequence_Check(object)) return false;
      return acquire_array(object);
    }
    if (exports_what_it_iterates(object, "__arrow_c_stream__")) {
      if (!PySequence_Check(object)) return false;
      return acquire_stream(object);
    }
    return false;
  }

  const ArrowSchema& schema() const { return *schema_; }
  const metrics::Buffer<const ArrowArray*>& chunks() const { return chunks_; }

 private:
  bool acquire_array(PyObject* object) {
    exported_ = call_export(object, "__arrow_c_array__");
    if (!exported_ || !PyTuple_Check(exported_.get()) || PyTuple_Size(exported_.get()) != 2) return false;
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(PyTuple_GetItem(exported_.get(), 0), "arrow_schema"));
    auto* array = static_cast<ArrowArray*>(
        schema ? PyCapsule_GetPointer(PyTuple_GetItem(exported_.get(), 1), "arrow_array") : nullptr);
    if (schema == nullptr || array == nullptr || schema->release == nullptr || array->release == nullptr) {
      // Not the capsules they claim to be: read generically.
      if (PyErr_Occurred()) take_pending_error();
      return false;
    }
    schema_ = schema;
    chunks_.push_back(array);
    return true;
  }

  bool acquire_stream(PyObject* object) {
    exported_ = call_export(object, "__arrow_c_stream__");
    if (!exported_) return false;
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(exported_.get(), "arrow_array_stream"));
    if (stream == nullptr || stream->release == nullptr) {
      // Not the capsules they claim to be: read generically.
      if (PyErr_Occurred()) take_pending_error();
      return false;
    }
    if (const int code = stream->get_schema(stream, &owned_schema_); code != 0 || PyErr_Occurred())
      raise_stream_failure(*stream, code);
    if (owned_schema_.release == nullptr) return false;
    schema_ = &owned_schema_;
    // Chunk structures may be moved bitwise; their data stays where it is.
    for (;;) {
      ArrowArray chunk{};
      if (const int code = stream->get_next(stream, &chunk); code != 0 || PyErr_Occurred()) {
        if (chunk.release != nullptr) chunk.release(&chunk);
        raise_stream_failure(*stream, code);
      }
      if (chunk.release == nullptr) break;
      try {
        owned_chunks_.push_back(chunk);
      } catch (...) {
        chunk.release(&chunk);
        throw;
      }
    }
    for (const ArrowArray& chunk : owned_chunks_) chunks_.push_back(&chunk);
    return true;
  }

  // A stream that fails once exported is an error, not data of some other
  // kind to be read item by item: the exception its producer left pending
  // goes to the caller unchanged (a KeyboardInterrupt, say); otherwise the
  // stream's own text is raised, as the exception its errno-compatible code
  // stands for in Arrow's own consumers.
  [[noreturn]] static void raise_stream_failure(ArrowArrayStream& stream, int code) {
    if (PyErr_Occurred()) raise_pending_error();
    const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    if (PyErr_Occurred()) raise_pending_error();
    std::string message = text != nullptr ? std::string(text)
                                          : "the Arrow stream failed with error code " + std::to_string(code);
    PyObject* type = code == ENOMEM   ? PyExc_MemoryError
                     : code == EINVAL ? PyExc_ValueError
                     : code == ENOSYS ? PyExc_NotImplementedError
                                      : PyExc_OSError;
    throw PythonError::create(type, std::move(message));
  }

  PyRef exported_;  // the capsules, whose destructors release what they hold
  ArrowSchema owned_schema_{};
  metrics::Buffer<ArrowArray> owned_chunks_;
  ArrowSchema* schema_ = nullptr;
  metrics::Buffer<const ArrowArray*> chunks_;
};

enum class ListKind { fixed_size, offsets32, offsets64 };

struct ListLayout {
  ListKind kind;
  std::int64_t width = 0;  // fixed-size lists
  ElementType element;
};

std::optional<ListLayout> list_layout(const ArrowSchema& schema) {
  if (!plain_schema(schema, 1) || !plain_schema(*schema.children[0], 0)) return std::nullopt;
  ListLayout layout{ListKind::offsets32, 0, arrow_element_type(schema.children[0]->format)};
  if (layout.element.kind == ElementKind::unsupported) return std::nullopt;
  std::string_view format = schema.format;
  if (format == "+l") return layout;
  if (format == "+L") {
    layout.kind = ListKind::offsets64;
    return layout;
  }
  if (!format.starts_with("+w:") || format.size() == 3 || format.size() > 12) return std::nullopt;
  for (char digit : format.substr(3)) {
    if (digit < '0' || digit > '9') return std::nullopt;
    layout.width = layout.width * 10 + (digit - '0');
  }
  layout.kind = ListKind::fixed_size;
  return layout;
}

// The value range [first, last) of the child that the chunk's rows cover;
// nullopt when the chunk is malformed or holds a null row.
struct ValueRange {
  std::int64_t first = 0, last = 0;
};

// Whether the offsets of the chunk's rows, offsets[offset .. offset + length]
// of its offsets buffer, can exist; `rows_end` is offset + length.
template <class Offset>
bool offsets_exist(const ArrowArray& chunk, std::int64_t rows_end) {
  const std::optional<std::int64_t> count = metrics::checked_sum<std::int64_t>(rows_end, 1);
  return count && can_exist(StridedRow{static_cast<const char*>(chunk.buffers[1]),
                                       {ElementKind::signed_integer, sizeof(Offset)},
                                       static_cast<std::size_t>(*count), sizeof(Offset)});
}

template <class Offset>
const Offset* offsets_of(const ArrowArray& chunk) {
  return static_cast<const Offset*>(chunk.buffers[1]) + chunk.offset;
}

// Every index and byte offset below comes from the producer's offsets and
// lengths, and is computed checked: an offset of 2**63 - 2 once wrapped past
// the range check and read before the child's values.
std::optional<ValueRange> covered_values(const ArrowArray& chunk, const ListLayout& layout) {
  if (!plain_array(chunk, layout.kind == ListKind::fixed_size ? 1 : 2, 1)) return std::nullopt;
  const ArrowArray& child = *chunk.children[0];
  if (!plain_array(child, 2, 0)) return std::nullopt;
  const std::optional<std::int64_t> rows_end = element_end(chunk);
  if (!rows_end || !all_valid(chunk, chunk.offset, chunk.length)) return std::nullopt;
  ValueRange range;
  if (layout.kind == ListKind::fixed_size) {
    const std::optional<std::int64_t> first = metrics::checked_product<std::int64_t>(chunk.offset, layout.width);
    const std::optional<std::int64_t> last = metrics::checked_product<std::int64_t>(*rows_end, layout.width);
    if (!first || !last) return std::nullopt;
    range = {*first, *last};
  } else if (chunk.length != 0) {
    if (chunk.buffers[1] == nullptr) return std::nullopt;
    auto check = [&](const auto* offsets) -> bool {
      for (std::int64_t i = 0; i < chunk.length; ++i)
        if (offsets[i + 1] < offsets[i]) return false;
      range = {static_cast<std::int64_t>(offsets[0]), static_cast<std::int64_t>(offsets[chunk.length])};
      return true;
    };
    const bool ordered = layout.kind == ListKind::offsets32
                             ? offsets_exist<std::int32_t>(chunk, *rows_end) && check(offsets_of<std::int32_t>(chunk))
                             : offsets_exist<std::int64_t>(chunk, *rows_end) && check(offsets_of<std::int64_t>(chunk));
    if (!ordered || range.first < 0) return std::nullopt;
  }
  if (range.last > child.length) return std::nullopt;
  // The values read are [child.offset + first, child.offset + last) of the
  // child's buffer; last >= first >= 0 here.
  const std::optional<std::int64_t> values_end = metrics::checked_sum<std::int64_t>(child.offset, range.last);
  if (!values_end) return std::nullopt;
  if (range.last > range.first &&
      !can_exist(StridedRow{static_cast<const char*>(child.buffers[1]), layout.element,
                            static_cast<std::size_t>(*values_end), static_cast<std::ptrdiff_t>(layout.element.size)}))
    return std::nullopt;
  if (!all_valid(child, child.offset + range.first, range.last - range.first)) return std::nullopt;
  return range;
}

// The chunk's rows appended to `batch`, from the range covered_values gave;
// false when a part cannot be read after all. Nothing is computed from the
// child's offset when no value is read.
bool append_chunk(const ArrowArray& chunk, const ListLayout& layout, const ValueRange& range,
                  metrics::EmbeddingBatch& batch) {
  const ArrowArray& child = *chunk.children[0];
  const auto size = static_cast<std::ptrdiff_t>(layout.element.size);
  const auto length = static_cast<std::size_t>(chunk.length);
  // covered_values made sure that (child.offset + range.last) * size bytes
  // from the child's buffer exist.
  const char* values =
      range.last > range.first ? static_cast<const char*>(child.buffers[1]) + child.offset * size : nullptr;
  if (layout.kind == ListKind::fixed_size) {
    // width has at most nine digits, so width * size fits.
    return append_matrix({values != nullptr ? values + range.first * size : nullptr, layout.element, length,
                          static_cast<std::size_t>(layout.width), static_cast<std::ptrdiff_t>(layout.width) * size,
                          size},
                         batch);
  }
  auto rows = [&](const auto* offsets) {
    for (std::size_t i = 0; i < length; ++i) {
      batch.start_row();
      // Both offsets lie in [range.first, range.last], ascending.
      const auto count = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
      if (count == 0) continue;
      if (!append_row_values({values + static_cast<std::ptrdiff_t>(offsets[i]) * size, layout.element, count, size},
                             batch))
        return false;
    }
    return true;
  };
  return layout.kind == ListKind::offsets32 ? rows(offsets_of<std::int32_t>(chunk))
                                            : rows(offsets_of<std::int64_t>(chunk));
}

}  // namespace

std::optional<metrics::EmbeddingBatch> read_batch_arrow(PyObject* object) {
  ArrowInput input;
  if (!input.acquire(object)) return std::nullopt;
  std::optional<ListLayout> layout = list_layout(input.schema());
  if (!layout) return std::nullopt;
  metrics::Buffer<ValueRange> ranges;
  ranges.reserve(input.chunks().size());
  std::optional<std::size_t> rows = 0, values = 0;
  for (const ArrowArray* chunk : input.chunks()) {
    std::optional<ValueRange> range = covered_values(*chunk, *layout);
    if (!range) return std::nullopt;
    ranges.push_back(*range);
    // Totals no size_t holds describe no data that can exist.
    rows = metrics::checked_sum<std::size_t>(*rows, chunk->length);
    values = metrics::checked_sum<std::size_t>(*values, range->last - range->first);
    if (!rows || !values) return std::nullopt;
  }
  metrics::EmbeddingBatch batch;
  batch.reserve_rows(*rows);
  batch.reserve_values(*values);
  for (std::size_t i = 0; i < ranges.size(); ++i)
    if (!append_chunk(*input.chunks()[i], *layout, ranges[i], batch)) return std::nullopt;
  return batch;
}

std::optional<IdentifierList> read_identifier_arrow(PyObject* object) {
  ArrowInput input;
  if (!input.acquire(object)) return std::nullopt;
  if (!plain_schema(input.schema(), 0)) return std::nullopt;
  const ElementType type = arrow_element_type(input.schema().format);
  if (!type.is_integer()) return std::nullopt;
  metrics::Buffer<StridedRow> parts;
  std::optional<std::size_t> total = 0;
  for (const ArrowArray* chunk : input.chunks()) {
    if (!plain_array(*chunk, 2, 0)) return std::nullopt;
    const std::optional<std::int64_t> end = element_end(*chunk);
    if (!end || !all_valid(*chunk, chunk->offset, chunk->length)) return std::nullopt;
    if (chunk->length == 0) continue;
    // Elements [0, offset + length) of the buffer must exist before the
    // offset is applied to it.
    const auto size = static_cast<std::ptrdiff_t>(type.size);
    const auto* buffer = static_cast<const char*>(chunk->buffers[1]);
    if (!can_exist(StridedRow{buffer, type, static_cast<std::size_t>(*end), size})) return std::nullopt;
    StridedRow part{buffer + chunk->offset * size, type, static_cast<std::size_t>(chunk->length), size};
    if (!can_read_identifiers(part)) return std::nullopt;
    parts.push_back(part);
    total = metrics::checked_sum<std::size_t>(*total, part.length);
    if (!total) return std::nullopt;
  }
  IdentifierList identifiers;
  metrics::require_storage<std::uint64_t>(*total);
  identifiers.reserve(*total);
  for (const StridedRow& part : parts) append_identifiers(part, identifiers);
  return identifiers;
}

}  // namespace vextral
