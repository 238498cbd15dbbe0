// Small float32 helpers with the exact semantics the kernels rely on.
#pragma once

#include <cmath>
#include <cstdint>

#include "exact_arithmetic.hpp"

namespace metrics {

// min and max that return the other operand when one operand is NaN
// (the IEEE minNum/maxNum rule), so a NaN never survives a clamp.
inline float min_ignoring_nan(float a, float b) { return std::fmin(a, b); }
inline float max_ignoring_nan(float a, float b) { return std::fmax(a, b); }

// An unsigned count rounded to the nearest float32.
inline float count_to_float(std::uint64_t count) { return static_cast<float>(count); }

}  // namespace metrics
