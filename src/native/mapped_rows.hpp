// Float32 rows read straight from a file through the module's own read-only
// shared mapping of it (POSIX systems; elsewhere the package reads the file
// another way).
//
// The mapping is the module's own, and it is shared and read-only, so its
// pages are only ever clean copies of the file: dropping them costs nothing
// but reading them again from the page cache. The batch that reads them
// drops each stretch once the kernels have packed it, so that the mapped
// pages and the kernels' packed copy are not both resident.
#pragma once

#include <optional>

#include "metrics.hpp"
#include "python.hpp"

namespace vextral::native {

#if defined(__unix__) || defined(__APPLE__)
#define VEXTRAL_MAPPED_ROWS 1
#endif

// map_float32_rows(fd, offset, rows, dimension): a capsule holding a
// mapping of the whole file open as `fd`, whose native-order float32 rows
// start `offset` bytes in (a multiple of 4). OSError when the file cannot be
// mapped, ValueError when it is too short for the rows.
PyObject* map_float32_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// The rows of such a capsule as a batch reading them in place (holding the
// capsule); nothing for any other object.
std::optional<metrics::EmbeddingBatch> read_mapped_rows(PyObject* object);

}  // namespace vextral::native
