// Out of line on purpose: a call is a point the compiler does not move the
// kernel's arithmetic across, so no operation of the kernel runs before the
// environment is set or after it is given back.
#include "float_environment.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define VEXTRAL_FLOAT_ENVIRONMENT_MXCSR 1
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define VEXTRAL_FLOAT_ENVIRONMENT_FPCR 1
#else
#include <cfenv>
#endif

namespace metrics {

namespace {

#if defined(VEXTRAL_FLOAT_ENVIRONMENT_MXCSR)

// MXCSR: bits 0-5 are the sticky status flags, the rest is control:
// denormals-are-zero (bit 6), the six exception masks (bits 7-12), the
// rounding control (bits 13-14, 0 = to nearest) and flush-to-zero (bit 15).
constexpr unsigned kStatusFlags = 0x003F;
constexpr unsigned kControlBits = 0xFFFF & ~kStatusFlags;
constexpr unsigned kDefaultControl = 0x1F80;  // all exceptions masked, nothing else

std::uint64_t read_control() noexcept { return _mm_getcsr(); }
void write_control(std::uint64_t value) noexcept { _mm_setcsr(static_cast<unsigned>(value)); }
bool is_default(std::uint64_t value) noexcept { return (value & kControlBits) == kDefaultControl; }
std::uint64_t made_default(std::uint64_t value) noexcept {
  return (value & kStatusFlags) | kDefaultControl;
}

#elif defined(VEXTRAL_FLOAT_ENVIRONMENT_FPCR)

// FPCR: every field at 0 is the default: round to nearest (RMode), no
// flush-to-zero (FZ, FZ16, FIZ), NaN payloads propagated (DN), no trap.
std::uint64_t read_control() noexcept {
  std::uint64_t value;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(value));
  return value;
}
void write_control(std::uint64_t value) noexcept { __asm__ __volatile__("msr fpcr, %0" : : "r"(value)); }
bool is_default(std::uint64_t value) noexcept { return value == 0; }
std::uint64_t made_default(std::uint64_t) noexcept { return 0; }

#else

// Portable fallback: only the rounding mode can be controlled.
std::uint64_t read_control() noexcept { return static_cast<std::uint64_t>(std::fegetround()); }
void write_control(std::uint64_t value) noexcept { std::fesetround(static_cast<int>(value)); }
bool is_default(std::uint64_t value) noexcept { return static_cast<int>(value) == FE_TONEAREST; }
std::uint64_t made_default(std::uint64_t) noexcept { return FE_TONEAREST; }

#endif

}  // namespace

DefaultFloatEnvironment::DefaultFloatEnvironment() noexcept {
  const std::uint64_t current = read_control();
  if (is_default(current)) return;
  saved_ = current;
  changed_ = true;
  write_control(made_default(current));
}

DefaultFloatEnvironment::~DefaultFloatEnvironment() {
  if (changed_) write_control(saved_);
}

}  // namespace metrics
