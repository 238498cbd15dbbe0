// Compile-time switches for the x86-only kernel paths.
//
// The wider paths are compiled with function-level target attributes rather
// than per-file flags: a whole file built with -mavx512f would also emit its
// inline library functions (std::span, std::vector, ...) in AVX-512 form, and
// the linker may pick those copies for baseline code on older processors.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VEXTRAL_X86 1
#define VEXTRAL_TARGET_AVX2 __attribute__((target("avx2")))
#define VEXTRAL_TARGET_AVX512 __attribute__((target("avx512f")))
#else
#define VEXTRAL_X86 0
#endif
