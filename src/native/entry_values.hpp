// What the native entry points share in taking their arguments and building
// their results.
#pragma once

#include <cstddef>
#include <string_view>

#include "metrics.hpp"
#include "py_ref.hpp"

namespace vextral::native {

// A `threads` argument: 1 when absent, ValueError for 0, and at most
// kMaxThreads, as for VEXTRAL_NUM_THREADS.
unsigned threads_argument(PyObject* object, std::string_view parameter);

// dict[key] = value, failing with the pending error when `value` is null or
// cannot be set.
void set_item(PyObject* dict, const char* key, PyRef value);

// dict[key] = float(value).
void set_double(PyObject* dict, const char* key, double value);

// `size` bytes from `data` as a bytes object.
PyRef bytes_of(const void* data, std::size_t size);

// The bytes of a contiguous buffer of plain values.
template <class Items>
PyRef bytes_of(const Items& items) {
  return bytes_of(items.data(), items.size() * sizeof(*items.data()));
}

// The index of the first row holding NaN or infinity, or None.
PyRef first_non_finite(const metrics::NonFiniteRows& found);

// checked(count, first) with what the scan for NaN and infinity found,
// before a pass; its exception ends the call. Nothing for None or null.
void report_scan(PyObject* checked, const metrics::NonFiniteRows& found);

}  // namespace vextral::native
