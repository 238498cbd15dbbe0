// Refuses to compile the kernels where the compiler is allowed to change
// float32 arithmetic behind our back.
//
// Results are reproducible to the last bit only if every operation is the
// IEEE float32 operation the source spells out: no reassociation, no
// reciprocal in place of a division, no finite-only shortcuts around NaN
// and infinity, and no intermediate held in a wider format. The build sets
// the flags for this on the metrics target (CMakeLists.txt); this header
// turns a build that lost them, or added -ffast-math after them, into a
// compile error instead of silently different bits. (Contraction into fused
// multiply-adds has no macro to test; tests/cmake/no_fused_multiply_add.cmake
// checks the object code for it.)
#pragma once

#include <cfloat>

#if defined(__FAST_MATH__)
#error "the metrics kernels must not be compiled with -ffast-math or -Ofast"
#endif

#if defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "the metrics kernels must not be compiled with -ffinite-math-only: NaN and infinity are data"
#endif

#if defined(FLT_EVAL_METHOD)
#if FLT_EVAL_METHOD != 0
#error "the metrics kernels need float arithmetic evaluated in float (FLT_EVAL_METHOD 0, e.g. SSE2 rather than x87)"
#endif
#elif !defined(_MSC_VER)
// MSVC evaluates float in float on x64 and arm64 without saying so.
#error "the metrics kernels need FLT_EVAL_METHOD from <cfloat> to check how float is evaluated"
#endif
