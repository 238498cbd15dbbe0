// Reading Arrow arrays through the Arrow PyCapsule interface
// (__arrow_c_array__, or __arrow_c_stream__ for chunked data), without one
// Python object per element and without any Arrow library.
//
// Batches: fixed-size lists, lists and large lists of floats or integers;
// identifier lists: integer arrays. Only data whose iteration would yield
// exactly these numbers is read this way: a null anywhere in the data read,
// a dictionary or extension type, booleans, a malformed array, or an object
// that fails the sequence check is read generically, which raises the errors
// iterating it gives (a null row or element gives the same TypeError).
#pragma once

#include <optional>

#include "conversion.hpp"
#include "metrics.hpp"

namespace vextral {

std::optional<metrics::EmbeddingBatch> read_batch_arrow(PyObject* object);

std::optional<IdentifierList> read_identifier_arrow(PyObject* object);

}  // namespace vextral
