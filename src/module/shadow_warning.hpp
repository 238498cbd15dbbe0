// The warning a call gives when its float32 result has drifted from the
// float64 shadow of its sums (metrics::Shadowed): the result keeps its bits,
// and the caller learns that it no longer measures what it names.
#pragma once

#include <string_view>

#include "metrics.hpp"

namespace vextral {

// Emits a RuntimeWarning through the interpreter's warnings machinery when
// `result` departs from its shadow, naming the function, both values and
// the package's exact measures; nothing otherwise. Filters apply as for any
// warning: when one turns it into an error, that error is thrown here.
void warn_if_departs_from_shadow(std::string_view function_name, const metrics::Shadowed& result);

}  // namespace vextral
