#include "fs/fat/fat_fs_reader.h"

#include "common/activity.h"

namespace kestrova {

ClusterChainView ChainViewOf(FatContext& ctx) {
  const FatVolume& volume = ctx.volume;
  ClusterChainView view{ctx.device, volume.bytesPerCluster, volume.lastCluster, kFatChainEnd, {}};
  view.next = [&volume](std::uint32_t c) {
    const std::uint32_t n = NextCluster(volume, c);
    if (n == 0) return c + 1;
    return n >= kFatChainEnd ? kEndOfChain : n;
  };
  return view;
}

std::uint8_t FatFsReader::Rate(const ScanEntry& entry) {
  return RateInFolder(*this, entry.FolderCluster(), entry).value_or(entry.rating);
}

EntryHandle FatFsReader::FolderHandle(const ScanEntry& folder) const {
  // A virtual folder, or a link to one, by its marker.
  if (folder.Kind() == EntryKind::VirtualFolder || folder.Kind() == EntryKind::VirtualParentLink)
    return VirtualHandle(folder.Marker());
  return folder.FirstCluster();
}

}  // namespace kestrova
