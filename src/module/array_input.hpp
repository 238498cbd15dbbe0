// Reading arrays that export their memory through the buffer protocol,
// without one Python object per element.
//
// Read this way: NumPy arrays whose item access and iteration are NumPy's
// own (see KnownTypes), and as rows or identifier lists also array.array,
// memoryview, bytes and bytearray objects, each only with a native-endian
// numeric element format whose values are exactly the numbers iterating the
// object would yield. Everything else returns nullopt / false and the
// caller reads the object generically, so the same errors arise.
#pragma once

#include <optional>

#include "conversion.hpp"
#include "known_types.hpp"
#include "metrics.hpp"

namespace vextral {

// A 2-D NumPy array -> EmbeddingBatch.
std::optional<metrics::EmbeddingBatch> read_batch_array(PyObject* object, KnownTypes& types);

// A 1-D array appended to `batch` as its newest row (already started).
// False, with the batch unchanged, when the row must be read generically.
bool read_row_array(PyObject* object, metrics::EmbeddingBatch& batch, KnownTypes& types);

// A 1-D array of integers, none negative -> identifier list.
std::optional<IdentifierList> read_identifier_array(PyObject* object, KnownTypes& types);

}  // namespace vextral
