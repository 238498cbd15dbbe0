// Where a failure was raised, captured at the call site.
//
// std::source_location::current() used as a default argument names the
// function's declaration instead of its caller under Clang 15, so there the
// location builtins, which Clang evaluates at the call site, stand in for it.
#pragma once

#if !defined(__clang__)
#include <source_location>
#endif

namespace metrics {

class SourceLocation {
 public:
#if defined(__clang__)
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE(),
                                          unsigned column = __builtin_COLUMN()) noexcept {
    return SourceLocation(file, line, column);
  }
#else
  static constexpr SourceLocation current(
      std::source_location where = std::source_location::current()) noexcept {
    return SourceLocation(where.file_name(), static_cast<unsigned>(where.line()),
                          static_cast<unsigned>(where.column()));
  }
#endif

  constexpr const char* file_name() const noexcept { return file_; }
  constexpr unsigned line() const noexcept { return line_; }
  constexpr unsigned column() const noexcept { return column_; }

 private:
  constexpr SourceLocation(const char* file, unsigned line, unsigned column) noexcept
      : file_(file), line_(line), column_(column) {}

  const char* file_;
  unsigned line_;
  unsigned column_;
};

}  // namespace metrics
