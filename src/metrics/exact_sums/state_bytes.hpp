// Little-endian words in serialised states of exact sums: the same bytes on
// every machine. Internal to the metrics module.
#pragma once

#include <cstddef>
#include <cstdint>

namespace metrics {

inline void put_u64(unsigned char* out, std::uint64_t value) {
  for (std::size_t b = 0; b < 8; ++b) out[b] = static_cast<unsigned char>(value >> (8 * b));
}

inline std::uint64_t get_u64(const unsigned char* in) {
  std::uint64_t value = 0;
  for (std::size_t b = 0; b < 8; ++b) value |= std::uint64_t{in[b]} << (8 * b);
  return value;
}

}  // namespace metrics
