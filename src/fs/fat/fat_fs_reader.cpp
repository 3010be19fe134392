#include "fs/fat/fat_fs_reader.h"

#include "common/activity.h"

namespace kestrova {

ClusterChainView ChainViewOf(FatContext& ctx) {
  const FatVolume& volume = ctx.volume;
  ClusterChainView view{ctx.device, volume.bytesPerCluster, volume.lastCluster, kFatChainEnd, {}, {}};
  view.next = [&volume](std::uint32_t c) {
    const std::uint32_t n = NextCluster(volume, c);
    if (n == 0) return c + 1;
    return n >= kFatChainEnd ? kEndOfChain : n;
  };
  // Other files' clusters: allocated in the table, or where another found file begins.
  if (!volume.damaged && !volume.fat.empty())
    view.taken = [&volume](std::uint32_t c) {
      return !IsClusterFree(volume, c) || (volume.map.Get(c) & kOtherFileStart) != 0;
    };
  return view;
}

}  // namespace kestrova
