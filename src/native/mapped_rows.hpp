// Float32 rows read straight from a file through the module's own read-only
// shared mapping of it (POSIX systems; elsewhere the package reads the file
// another way).
//
// The mapping is the module's own, and it is shared and read-only, so its
// pages are only ever clean copies of the file: dropping them costs nothing
// but reading them again from the page cache. The batch that reads them
// drops each stretch once the kernels have packed it, so that the mapped
// pages and the kernels' packed copy are not both resident.
//
// Another program may truncate or rewrite the file while its rows are read:
// a TruncationGuard (truncation_guard.hpp) turns the fault of a vanished
// page into zeros and a record, and mapped_file_changed tells the caller
// afterwards whether what was read was all the file's.
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
// capsule); nothing for any other object. ValueError for a capsule whose
// file was already found changed.
std::optional<metrics::EmbeddingBatch> read_mapped_rows(PyObject* object);

#if VEXTRAL_MAPPED_ROWS
// mapped_file_changed(capsule): True when a page of the mapping was found
// gone, or the file's size or time of modification differs from when it
// was mapped; False for anything else.
PyObject* mapped_file_changed(PyObject* self, PyObject* object);
#endif

}  // namespace vextral::native
