// The short report written to standard error when an internal failure
// reaches the entry guard.
#pragma once

#include <source_location>
#include <span>
#include <string_view>

namespace vextral {

// Writes the report without taking heap memory, so that it works when the
// failure being reported is that memory ran out.
void report_internal_failure(std::string_view message, const std::source_location& where,
                             std::span<void* const> backtrace) noexcept;

}  // namespace vextral
