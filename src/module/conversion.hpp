// Converting bound arguments into kernel inputs.
#pragma once

#include <cstdint>
#include <string_view>

#include "metrics.hpp"
#include "python_error.hpp"

namespace vextral {

using IdentifierList = metrics::Buffer<std::uint64_t>;

// A sequence of sequences of numbers -> EmbeddingBatch. Failures are already
// passed through argument_extraction_error with `parameter`.
metrics::EmbeddingBatch extract_batch_argument(PyObject* object, std::string_view parameter);

// The same for an argument converted after `earlier`: the conversion may run
// the caller's Python code (its objects' own iteration and number
// conversions), which may write into an array that `earlier` reads in
// place, so `earlier` first takes a copy of its own unless this argument is
// a NumPy array read without running any.
metrics::EmbeddingBatch extract_later_batch_argument(PyObject* object, std::string_view parameter,
                                                     metrics::EmbeddingBatch& earlier);

// A sequence of non-negative ints -> identifier list. Failures as above.
IdentifierList extract_identifier_argument(PyObject* object, std::string_view parameter);

// One int (or object with __index__) -> unsigned 64-bit value, such as
// top_k. Failures as above.
std::uint64_t extract_u64_argument(PyObject* object, std::string_view parameter);

// One number -> float32, through the interpreter's float conversion.
float extract_f32(PyObject* object);

// One int (or object with __index__) -> unsigned 64-bit value.
std::uint64_t extract_u64(PyObject* object);

// A conversion failure as the caller should see it: a TypeError (exactly that
// type) becomes TypeError("argument '{parameter}': {text}") keeping only the
// original's cause; any other exception is returned unchanged.
PythonError argument_extraction_error(std::string_view parameter, PythonError error);

}  // namespace vextral
