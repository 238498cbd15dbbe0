// The instruction-set paths of the pair kernel and the choice among them.
//
// Every path computes the same bits; they differ only in speed. The wheel is
// built for the baseline of its processor family, so the wider paths are
// compiled with per-function target attributes (isa_target.hpp) and chosen
// at run time from what the processor reports. Which paths a build has, how
// each is known by name, how the processor is asked and which tile each runs
// is one table, in kernel_path.cpp: a new path is its tile's file and one row
// there (and its name below). Internal to the metrics module.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "metrics.hpp"

namespace metrics {

// The underlying type matches the declaration in metrics.hpp, which lets
// PassOptions carry a path without this header.
enum class KernelPath : unsigned char {
  portable,  // plain C++, any processor
  avx2,      // 256-bit vectors, x86-64 only
  avx512,    // 512-bit vectors, x86-64 only
};

// The path's name ("portable", "avx2", "avx512"), as VEXTRAL_KERNEL_PATH and
// the tests spell it; "unknown" for a value that is no path of this build.
const char* kernel_path_name(KernelPath path) noexcept;

// The most paths a build may have.
inline constexpr std::size_t kMaxKernelPaths = 8;

struct KernelPathList {
  using value_type = KernelPath;

  std::array<KernelPath, kMaxKernelPaths> paths{};
  std::size_t count = 0;

  const KernelPath* begin() const noexcept { return paths.data(); }
  const KernelPath* end() const noexcept { return paths.data() + count; }
};

// The paths this processor can run, slowest first; always starts with
// KernelPath::portable.
KernelPathList supported_kernel_paths() noexcept;

// The fastest path this processor can run.
KernelPath fastest_kernel_path() noexcept;

// The path named `name` exactly, when this build has it and the processor
// can run it; nothing otherwise.
std::optional<KernelPath> supported_kernel_path_named(std::string_view name) noexcept;

// The path a pass with `options` runs on: the one they ask for, or the
// fastest when they ask for none. A path asked for is not checked here: the
// pair kernel fails (InternalFailure) on one the processor cannot run.
KernelPath kernel_path_for(const PassOptions& options) noexcept;

}  // namespace metrics
