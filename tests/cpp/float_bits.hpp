// Comparing float32 results by bit pattern, and the special values the
// tests feed the kernels.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

inline std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }
