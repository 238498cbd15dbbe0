#include "pair_tile.hpp"
#include "isa_target.hpp"

namespace metrics {

PairTileKernel pair_tile_kernel(KernelPath path) noexcept {
  switch (path) {
#if VEXTRAL_X86
    case KernelPath::avx2:
      return pair_tile_avx2;
    case KernelPath::avx512:
      return pair_tile_avx512;
#endif
    default:
      return pair_tile_portable;
  }
}

}  // namespace metrics
