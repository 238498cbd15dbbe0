// The embeddings argument of the native entry points.
#pragma once

#include <string_view>

#include "metrics.hpp"
#include "python.hpp"

namespace vextral::native {

// Whatever vextral_core accepts, converted exactly as it converts it, plus
// a 2-D memoryview of native float32 or float64 values (such as a cast view
// of a memory-mapped .npy file, when NumPy is not installed), copied without
// one Python object per element.
metrics::EmbeddingBatch batch_argument(PyObject* object, std::string_view parameter);

}  // namespace vextral::native
