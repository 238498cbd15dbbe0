#include "kernel_path.hpp"

#include "isa_target.hpp"

namespace metrics {

const char* kernel_path_name(KernelPath path) noexcept {
  switch (path) {
    case KernelPath::portable:
      return "portable";
    case KernelPath::avx2:
      return "avx2";
    case KernelPath::avx512:
      return "avx512";
  }
  return "unknown";
}

KernelPathList supported_kernel_paths() noexcept {
  KernelPathList supported;
  supported.paths[supported.count++] = KernelPath::portable;
#if VEXTRAL_X86
  // The compiler's run-time library reads the processor's features once, at
  // load time; asking again is a lookup. It also checks that the operating
  // system saves the wider registers, not only that the instructions exist.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) supported.paths[supported.count++] = KernelPath::avx2;
  if (__builtin_cpu_supports("avx512f")) supported.paths[supported.count++] = KernelPath::avx512;
#endif
  return supported;
}

KernelPath fastest_kernel_path() noexcept {
  const KernelPathList supported = supported_kernel_paths();
  return supported.paths[supported.count - 1];
}

}  // namespace metrics
