// Compile-time switches for the instruction-set-specific kernel paths: which
// processor family this build targets, and the attribute that compiles one
// function for a wider instruction set than the build's baseline.
//
// The wider paths are compiled with function-level target attributes rather
// than per-file flags: a whole file built with -mavx512f would also emit its
// inline library functions (std::span, std::vector, ...) in AVX-512 form, and
// the linker may pick those copies for baseline code on older processors.
// A path for another family (NEON, SVE on aarch64) adds its switch here.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VEXTRAL_X86 1
#define VEXTRAL_TARGET_AVX2 __attribute__((target("avx2")))
#define VEXTRAL_TARGET_AVX512 __attribute__((target("avx512f")))
#else
#define VEXTRAL_X86 0
#endif
