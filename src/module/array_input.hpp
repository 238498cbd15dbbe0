// Reading NumPy arrays through the buffer protocol, without one Python object
// per element.
//
// Only an exact numpy.ndarray (recognised by its type's name: NumPy is not a
// dependency) with a native-endian real numeric or bool dtype is read this
// way, and only where the result is certain to equal what reading the array
// as a nested sequence would give. Everything else returns nullopt and the
// caller reads the object generically, so the same errors arise.
#pragma once

#include <optional>

#include "conversion.hpp"
#include "metrics.hpp"

namespace vextral {

// A 2-D array -> EmbeddingBatch, each element narrowed as extract_f32 would
// (integers pass through double first, as their float conversion does).
std::optional<metrics::EmbeddingBatch> read_batch_array(PyObject* object);

// A 1-D array appended to `batch` as its newest row (already started).
// False, with the batch unchanged, when the row must be read generically.
bool read_row_array(PyObject* object, metrics::EmbeddingBatch& batch);

// A 1-D array of integers, none negative -> identifier list.
std::optional<IdentifierList> read_identifier_array(PyObject* object);

}  // namespace vextral
