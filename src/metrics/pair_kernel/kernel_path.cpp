#include "kernel_path.hpp"

#include <iterator>
#include <string>

#include "failure.hpp"
#include "isa_target.hpp"
#include "exact_sums/fixed_point_lanes.hpp"
#include "pair_tile.hpp"

namespace metrics {

namespace {

// One row per path this build has, slowest first: its name, whether the
// processor can run it, and its tile.
struct KernelPathRow {
  KernelPath path;
  const char* name;
  bool (*supported)() noexcept;
  PairTileKernel tile;
  FixedPointLanes lanes;
};

bool always() noexcept { return true; }

#if VEXTRAL_X86
// The compiler's run-time library reads the processor's features once, at
// load time; asking again is a lookup. It also checks that the operating
// system saves the wider registers, not only that the instructions exist.
bool has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool has_avx512() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f");
}
#endif

constexpr KernelPathRow kPaths[] = {
    {KernelPath::portable, "portable", always, pair_tile_portable,
     {add_similarities_portable, add_row_portable}},
#if VEXTRAL_X86
    {KernelPath::avx2, "avx2", has_avx2, pair_tile_avx2, {add_similarities_avx2, add_row_avx2}},
    {KernelPath::avx512, "avx512", has_avx512, pair_tile_avx512, {add_similarities_avx512, add_row_avx512}},
#endif
};

static_assert(std::size(kPaths) <= kMaxKernelPaths);
static_assert(kPaths[0].path == KernelPath::portable, "the first path runs everywhere");

const KernelPathRow* row_of(KernelPath path) noexcept {
  for (const KernelPathRow& row : kPaths) {
    if (row.path == path) return &row;
  }
  return nullptr;
}

}  // namespace

const char* kernel_path_name(KernelPath path) noexcept {
  const KernelPathRow* row = row_of(path);
  return row != nullptr ? row->name : "unknown";
}

KernelPathList supported_kernel_paths() noexcept {
  KernelPathList supported;
  for (const KernelPathRow& row : kPaths) {
    if (row.supported()) supported.paths[supported.count++] = row.path;
  }
  return supported;
}

KernelPath fastest_kernel_path() noexcept {
  const KernelPathList supported = supported_kernel_paths();
  return supported.paths[supported.count - 1];
}

std::optional<KernelPath> supported_kernel_path_named(std::string_view name) noexcept {
  for (const KernelPathRow& row : kPaths) {
    if (name == row.name && row.supported()) return row.path;
  }
  return std::nullopt;
}

KernelPath kernel_path_for(const PassOptions& options) noexcept {
  return options.kernel_path.has_value() ? *options.kernel_path : fastest_kernel_path();
}

namespace {

// The row of a path this build has and the processor can run. Never a
// silent fall-back: a pass asked to run a path must run that one, or the
// tests that run every path would test the same one several times.
const KernelPathRow& runnable_row(KernelPath path, const char* what) {
  const KernelPathRow* row = row_of(path);
  if (row == nullptr) {
    throw InternalFailure(std::string("no ") + what + " for path " + std::to_string(static_cast<int>(path)) +
                          " in this build");
  }
  if (!row->supported()) {
    throw InternalFailure(std::string("the processor cannot run the ") + row->name + " " + what);
  }
  return *row;
}

}  // namespace

PairTileKernel pair_tile_kernel(KernelPath path) { return runnable_row(path, "pair kernel").tile; }

FixedPointLanes fixed_point_lanes(KernelPath path) { return runnable_row(path, "fixed-point lanes").lanes; }

}  // namespace metrics
