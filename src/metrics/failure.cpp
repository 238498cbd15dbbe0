#include "failure.hpp"

#include <string>
#include <utility>

#if defined(__GLIBC__)
#include <execinfo.h>
#endif

namespace metrics {

namespace {

// Failures are rare and the capture costs microseconds, so it is always
// done: the stack is gone by the time anyone could ask for it.
std::vector<void*> capture_backtrace() {
  std::vector<void*> frames;
#if defined(__GLIBC__)
  frames.resize(64);
  int depth = ::backtrace(frames.data(), static_cast<int>(frames.size()));
  frames.resize(depth > 0 ? static_cast<std::size_t>(depth) : 0);
#endif
  return frames;
}

}  // namespace

InternalFailure::InternalFailure(std::string message, SourceLocation where)
    : message_(std::move(message)), where_(where), backtrace_(capture_backtrace()) {}

void fail_index_out_of_bounds(std::size_t len, std::size_t index, SourceLocation where) {
  throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                            " but the index is " + std::to_string(index),
                        where);
}

}  // namespace metrics
