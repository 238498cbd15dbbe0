// The shape of the pair kernel's data, in one place: the lane width of the
// packed layout and the size of a tile. The packed batch, every tile and the
// panel pass take their numbers from here; the assertions below and beside
// the few code paths written for one particular shape fail the build when
// the numbers stop fitting together. Internal to the metrics module.
#pragma once

#include <cstddef>

namespace metrics {

// Rows per packed block, one per vector lane: a 512-bit vector of floats,
// or two 256-bit ones.
inline constexpr std::size_t kLanes = 16;

// A tile is kTileRows rows i of one block against the kTileColumns rows j of
// kTileColumnBlocks consecutive blocks.
inline constexpr std::size_t kTileRows = 4;
inline constexpr std::size_t kTileColumnBlocks = 4;
inline constexpr std::size_t kTileColumns = kTileColumnBlocks * kLanes;

// Row groups never straddle two blocks.
static_assert(kLanes % kTileRows == 0);
static_assert(kTileColumns == 64);

}  // namespace metrics
