// The instruction-set paths of the pair kernel and the choice among them.
//
// Every path computes the same bits; they differ only in speed. The wheel is
// built for baseline x86-64, so the wider paths are compiled with per-function
// target attributes and chosen at run time from what the processor reports.
// Internal to the metrics module.
#pragma once

#include <array>
#include <cstddef>

namespace metrics {

enum class KernelPath {
  portable,  // plain C++, any processor
  avx2,      // 256-bit vectors, x86-64 only
  avx512,    // 512-bit vectors, x86-64 only
};

const char* kernel_path_name(KernelPath path) noexcept;

struct KernelPathList {
  using value_type = KernelPath;

  std::array<KernelPath, 3> paths{};
  std::size_t count = 0;

  const KernelPath* begin() const noexcept { return paths.data(); }
  const KernelPath* end() const noexcept { return paths.data() + count; }
};

// The paths this processor can run, slowest first; always starts with
// KernelPath::portable.
KernelPathList supported_kernel_paths() noexcept;

// The fastest path this processor can run.
KernelPath fastest_kernel_path() noexcept;

}  // namespace metrics
