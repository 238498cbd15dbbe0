// Failure types shared by the kernels and the module layer.
//
// Kernels never talk to Python. When something goes wrong that the caller
// cannot be expected to handle (an index past the end of a row, a size that
// cannot be represented), they throw InternalFailure; when the system's own
// memory cannot be obtained they throw AllocationFailure. Only the entry
// guard of the module layer catches either.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <vector>

#include "source_location.hpp"

namespace metrics {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message,
                           SourceLocation where = SourceLocation::current());

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const SourceLocation& where() const noexcept { return where_; }
  // Return addresses captured at the throw site (where the platform can
  // capture them; empty otherwise). Whether a report shows them is for
  // whoever reports the failure to decide.
  const std::vector<void*>& backtrace() const noexcept { return backtrace_; }

 private:
  std::string message_;
  SourceLocation where_;
  std::vector<void*> backtrace_;
};

class AllocationFailure : public std::exception {
 public:
  explicit AllocationFailure(std::size_t bytes) noexcept : bytes_(bytes) {}
  const char* what() const noexcept override { return "memory allocation failed"; }
  std::size_t bytes() const noexcept { return bytes_; }

 private:
  std::size_t bytes_;
};

// The bounds failure used wherever an index runs past a row's end.
[[noreturn]] void fail_index_out_of_bounds(
    std::size_t len, std::size_t index,
    SourceLocation where = SourceLocation::current());

}  // namespace metrics
