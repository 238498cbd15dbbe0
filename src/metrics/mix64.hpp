// A 64-bit mixing function for seeded hash tables: the MurmurHash3 64-bit
// finaliser, a bijection in which every input bit reaches every output bit.
#pragma once

#include <cstdint>

namespace metrics {

constexpr std::uint64_t mix64(std::uint64_t value) noexcept {
  value ^= value >> 33;
  value *= 0xff51afd7ed558ccdULL;
  value ^= value >> 33;
  value *= 0xc4ceb93fe53ec4f9ULL;
  value ^= value >> 33;
  return value;
}

}  // namespace metrics
