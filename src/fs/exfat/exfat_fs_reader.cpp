#include "fs/exfat/exfat_fs_reader.h"

#include "common/activity.h"

namespace kestrova {

ClusterChainView ExfatChainViewOf(ExfatContext& ctx, const ScanEntry& entry) {
  const ExfatVolume& v = ctx.volume;
  ClusterChainView view{ctx.device, v.bytesPerCluster, v.lastCluster, kExfatChainEnd, {}, {}};
  const bool contiguous = entry.dataForm == kExfatNoFatChain;
  view.next = [&v, contiguous](std::uint32_t c) {
    if (contiguous) return c + 1;
    const std::uint32_t n = ExfatNextCluster(v, c);
    if (n == 0 || n == kExfatEnd) return c + 1;
    return n >= kExfatChainEnd ? kEndOfChain : n;
  };
  // Other files' clusters: set in the bitmap, or where another found file begins.
  if (!v.damaged && !v.bitmap.empty())
    view.taken = [&v](std::uint32_t c) {
      return !IsExfatClusterFree(v, c) || (v.map.Get(c) & kOtherFileStart) != 0;
    };
  return view;
}

}  // namespace kestrova
