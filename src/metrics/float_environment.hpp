// The floating-point environment the kernels compute in.
//
// A float32 result is reproducible to the last bit only in one environment:
// rounding to nearest, subnormal inputs and results honoured, no trap
// enabled. The caller's thread may have left anything else behind: a
// fesetround(FE_UPWARD) through ctypes, or flush-to-zero / denormals-are-zero
// set by a library built with -ffast-math. Every public kernel entry (and
// each worker thread of a pass) therefore holds a DefaultFloatEnvironment for
// its whole computation.
//
// Cheap on the usual path: one read of the control register and a compare.
// Only when the caller's setting differs is the register written, and then
// written back, exactly as it was, when the guard ends (on every path out,
// exceptions included). Status flags the computation raised in that case
// are not passed on; with the default environment they simply accumulate as
// they would for any other call.
//
// What is controlled: MXCSR on x86-64 (SSE and AVX arithmetic, the only
// kind the kernels and the math functions they call use there; the x87 unit
// is not used), FPCR on aarch64 (rounding, flush-to-zero, default NaN,
// traps), and elsewhere the rounding mode through <cfenv>.
#pragma once

#include <cstdint>

#include "exact_arithmetic.hpp"

namespace metrics {

class DefaultFloatEnvironment {
 public:
  DefaultFloatEnvironment() noexcept;
  ~DefaultFloatEnvironment();

  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

 private:
  // The caller's control register (or rounding mode), restored by the
  // destructor when `changed_`.
  std::uint64_t saved_ = 0;
  bool changed_ = false;
};

}  // namespace metrics
