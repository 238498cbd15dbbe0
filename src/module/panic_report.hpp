// What an internal failure writes to standard error on its way to the
// caller: the report of a new failure (with a stack backtrace when the
// environment switch asks for one), and the notice that a PanicException
// raised by Python code is being resumed.
#pragma once

#include <span>
#include <string_view>

#include "python.hpp"
#include "source_location.hpp"

namespace vextral {

// Name of the environment switch that adds a backtrace to failure reports.
inline constexpr const char* kBacktraceSwitch = "VEXTRAL_BACKTRACE";

// Writes the report of a new internal failure: the thread, the source
// location, the message, then either the return addresses in `backtrace`
// (when the switch is on) or, in the first report of the process only, how
// to switch it on. Takes no heap memory, so that it works when the failure
// being reported is that memory ran out.
void report_internal_failure(std::string_view message, const metrics::SourceLocation& where,
                             std::span<void* const> backtrace) noexcept;

// Writes the notice that `exception`, a PanicException taken from Python
// code that a call ran, is resumed as an internal failure, followed by the
// exception and its traceback.
void report_resumed_panic(PyObject* exception) noexcept;

}  // namespace vextral
