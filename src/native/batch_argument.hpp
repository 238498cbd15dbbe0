// The embeddings argument of the native entry points.
#pragma once

#include <optional>
#include <string_view>

#include "metrics.hpp"
#include "py_ref.hpp"

namespace vextral::native {

// Whatever vextral_core accepts, converted exactly as it converts it, plus
// a 2-D memoryview of native float32 or float64 values (such as a cast view
// of a memory-mapped .npy file, when NumPy is not installed), read without
// one Python object per element, and the rows of a file mapped by
// map_float32_rows (mapped_rows.hpp). Float32 rows stored contiguously are
// read in place; the batch then holds what keeps them valid.
metrics::EmbeddingBatch batch_argument(PyObject* object, std::string_view parameter);

}  // namespace vextral::native
