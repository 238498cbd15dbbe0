#include "conversion.hpp"

#include "array_input.hpp"
#include "arrow_input.hpp"
#include "dlpack_input.hpp"
#include "pending_error.hpp"
#include "sequence_reading.hpp"
#include "text.hpp"

namespace vextral {

namespace {

bool is_str(PyObject* object) { return PyUnicode_Check(object); }

void refuse_str(PyObject* object) {
  if (is_str(object)) throw PythonError::create(PyExc_TypeError, "Can't extract `str` to `Vec`");
}

// Runs one argument's conversion, rewrapping its failure for `parameter`.
template <class Convert>
auto converting(std::string_view parameter, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (PythonError& error) {
    throw argument_extraction_error(parameter, std::move(error));
  }
}

}  // namespace

float extract_f32(PyObject* object) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) raise_pending_error();
  // Round to nearest, ties to even; out-of-range magnitudes become infinities.
  return static_cast<float>(value);
}

std::uint64_t extract_u64(PyObject* object) {
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) raise_pending_error();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // 2**64 - 1 is a valid identifier; only with an exception pending is it an error.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_pending_error();
  return value;
}

metrics::EmbeddingBatch extract_batch_argument(PyObject* object, std::string_view parameter) {
  return converting(parameter, [&] {
    KnownTypes types;
    if (std::optional<metrics::EmbeddingBatch> array = read_batch_array(object, types)) return std::move(*array);
    refuse_str(object);
    if (std::optional<metrics::EmbeddingBatch> arrow = read_batch_arrow(object)) return std::move(*arrow);
    if (std::optional<metrics::EmbeddingBatch> tensor = read_batch_dlpack(object, types)) return std::move(*tensor);
    metrics::EmbeddingBatch batch;
    std::size_t rows_hint = 0;
    extract_sequence(
        object,
        [&](std::size_t rows) {
          rows_hint = rows;
          batch.reserve_rows(rows);
        },
        [&](PyObject* row) {
          refuse_str(row);
          batch.start_row();
          if (read_row_array(row, batch, types) || read_row_dlpack(row, batch, types)) return;
          extract_sequence(
              row,
              [&](std::size_t length) {
                // Rows are usually all as long as the first one: size the
                // value storage once for that, and let it grow otherwise.
                if (batch.rows() == 1)
                  batch.reserve_values(std::min(
                      metrics::checked_product<std::size_t>(length, rows_hint).value_or(kMaxPreallocatedItems),
                      kMaxPreallocatedItems));
              },
              [&](PyObject* item) { batch.push(extract_f32(item)); });
        });
    return batch;
  });
}

metrics::EmbeddingBatch extract_later_batch_argument(PyObject* object, std::string_view parameter,
                                                     metrics::EmbeddingBatch& earlier) {
  if (earlier.borrowed()) {
    // An exact ndarray or memmap is recognised and exported by NumPy's own
    // C code alone; everything else may call back into Python.
    KnownTypes types;
    if (types.is_exact_numpy_array(object)) {
      if (std::optional<metrics::EmbeddingBatch> array = read_batch_array(object, types)) return std::move(*array);
    }
    earlier.make_owned();
  }
  return extract_batch_argument(object, parameter);
}

IdentifierList extract_identifier_argument(PyObject* object, std::string_view parameter) {
  return converting(parameter, [&] {
    KnownTypes types;
    if (std::optional<IdentifierList> array = read_identifier_array(object, types)) return std::move(*array);
    refuse_str(object);
    if (std::optional<IdentifierList> arrow = read_identifier_arrow(object)) return std::move(*arrow);
    if (std::optional<IdentifierList> tensor = read_identifier_dlpack(object, types)) return std::move(*tensor);
    IdentifierList identifiers;
    extract_sequence(
        object, [&](std::size_t length) { identifiers.reserve(length); },
        [&](PyObject* item) { identifiers.push_back(extract_u64(item)); });
    return identifiers;
  });
}

std::uint64_t extract_u64_argument(PyObject* object, std::string_view parameter) {
  return converting(parameter, [&] { return extract_u64(object); });
}

PythonError argument_extraction_error(std::string_view parameter, PythonError error) {
  if (error.type() != PyExc_TypeError) return error;
  PyRef original = error.value();
  PyRef cause = PyRef::steal(PyException_GetCause(original.get()));
  PythonError remapped = PythonError::create(
      PyExc_TypeError,
      "argument '" + std::string(parameter) + "': " + object_text(original.get()));
  PyRef value = remapped.value();
  // Also marks the new exception's context as suppressed, cause or not.
  PyException_SetCause(value.get(), cause.release());
  return remapped;
}

}  // namespace vextral
