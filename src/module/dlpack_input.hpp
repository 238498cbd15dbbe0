// Reading tensors through DLPack (__dlpack__): PyTorch CPU tensors and any
// other producer, without one Python object per element and without the
// producer's library.
//
// Only CPU tensors with one lane of a float, bfloat16, integer or bool type,
// any strides, are read this way; a tensor on another device, a failed
// export, a NumPy array (read from its buffer or not at all), or an object
// that fails the sequence check is read generically
// (which raises the errors iterating it gives).
#pragma once

#include <optional>

#include "conversion.hpp"
#include "known_types.hpp"
#include "metrics.hpp"

namespace vextral {

// A 2-D tensor -> EmbeddingBatch.
std::optional<metrics::EmbeddingBatch> read_batch_dlpack(PyObject* object, KnownTypes& types);

// A 1-D tensor appended to the row `batch` opened last; false when the row
// must be read generically.
bool read_row_dlpack(PyObject* object, metrics::EmbeddingBatch& batch, KnownTypes& types);

// A 1-D integer tensor, none negative -> identifier list.
std::optional<IdentifierList> read_identifier_dlpack(PyObject* object, KnownTypes& types);

}  // namespace vextral
