// The table of pair-kernel paths: names, the choice a pass's options make,
// and the refusal of a path the build or the processor does not have.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "failure_message.hpp"
#include "metrics.hpp"
#include "pair_kernel/kernel_path.hpp"
#include "pair_kernel/pair_similarities.hpp"
#include "pair_kernel/pair_tile.hpp"

namespace {

using metrics::EmbeddingBatch;
using metrics::KernelPath;

// A value of the enumeration that no build has a path for.
const KernelPath kNoSuchPath = static_cast<KernelPath>(200);

TEST(KernelPaths, EveryPathIsFoundByItsOwnNameOnly) {
  const metrics::KernelPathList supported = metrics::supported_kernel_paths();
  ASSERT_GE(supported.count, 1u);
  EXPECT_EQ(supported.paths[0], KernelPath::portable);
  EXPECT_EQ(supported.paths[supported.count - 1], metrics::fastest_kernel_path());
  std::set<std::string> names;
  for (KernelPath path : supported) {
    const std::string name = metrics::kernel_path_name(path);
    EXPECT_TRUE(names.insert(name).second) << name;
    EXPECT_EQ(metrics::supported_kernel_path_named(name), path) << name;
  }
  EXPECT_EQ(std::string(metrics::kernel_path_name(kNoSuchPath)), "unknown");
  for (const char* name : {"", "unknown", "Portable", "portable ", "sse2", "neon"}) {
    EXPECT_EQ(metrics::supported_kernel_path_named(name), std::nullopt) << '"' << name << '"';
  }
}

TEST(KernelPaths, OptionsAskForAPathOrGetTheFastest) {
  metrics::PassOptions options;
  EXPECT_EQ(metrics::kernel_path_for(options), metrics::fastest_kernel_path());
  for (KernelPath path : metrics::supported_kernel_paths()) {
    options.kernel_path = path;
    EXPECT_EQ(metrics::kernel_path_for(options), path);
  }
}

// Every path of the enumeration that this build or processor lacks, plus a
// value that is no path at all.
std::vector<KernelPath> unavailable_paths() {
  std::vector<KernelPath> paths{kNoSuchPath};
  const metrics::KernelPathList supported = metrics::supported_kernel_paths();
  for (KernelPath path : {KernelPath::portable, KernelPath::avx2, KernelPath::avx512}) {
    bool found = false;
    for (KernelPath s : supported) found = found || s == path;
    if (!found) paths.push_back(path);
  }
  return paths;
}

// A path that cannot run is a failure, never a quiet fall-back to another
// path: the tests that run each path would otherwise test one path twice.
TEST(KernelPaths, AnUnavailablePathFailsInsteadOfFallingBack) {
  // Rectangular (the packed layout) and too ragged to pad (the plain copy).
  const EmbeddingBatch packed = EmbeddingBatch::from_rows({{1, 2}, {3, 4}, {5, 7}});
  EmbeddingBatch plain;
  plain.start_row();
  for (int k = 0; k < 5000; ++k) plain.push(float(k % 7));
  for (int i = 0; i < 63; ++i) {
    plain.start_row();
    plain.push(float(i));
    plain.push(1.0f);
  }
  for (KernelPath path : unavailable_paths()) {
    const std::string what = "path " + std::to_string(int(path));
    EXPECT_NE(failure_message([&] { metrics::pair_tile_kernel(path); }), "<no failure>") << what;
    metrics::PassOptions options;
    options.kernel_path = path;
    const EmbeddingBatch* const batches[] = {&packed, &plain};
    for (const EmbeddingBatch* batch : batches) {
      EXPECT_NE(failure_message([&] { metrics::compute_isotropy(*batch, options); }), "<no failure>")
          << what;
      EXPECT_NE(failure_message([&] { metrics::compute_quality_score(*batch, options); }),
                "<no failure>")
          << what;
    }
  }
  EXPECT_EQ(failure_message([&] { metrics::pair_tile_kernel(kNoSuchPath); }),
            "no pair kernel for path 200 in this build");
}

}  // namespace
