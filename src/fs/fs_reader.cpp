#include "fs/fs_reader.h"

#include "common/text.h"
#include "scan/virtual_folders.h"

namespace kestrova {

WriteResult ExfatRecoverable::Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl& control) {
  const ExfatVolume& v = ctx_.volume;
  ClusterChainView view{ctx_.device, v.bytesPerCluster, v.lastCluster, kExfatChainEnd, {}};
  // Contiguous files keep no chain: 0 and the end value both count as the next cluster.
  const bool contiguous = entry.dataForm == kExfatNoFatChain;
  view.next = [&v, contiguous](std::uint32_t c) {
    // A file kept without a FAT chain: stale table entries are not followed.
    if (contiguous) return c + 1;
    const std::uint32_t n = ExfatNextCluster(v, c);
    if (n == 0 || n == kExfatEnd) return c + 1;
    return n >= kExfatChainEnd ? kFatEndOfChain : n;
  };
  return WriteFatFile(view, entry, sink, control);
}

std::optional<std::vector<std::uint32_t>> FindFolder(RecoverableVolume& volume,
                                                     const std::vector<std::u16string>& components) {
  std::vector<std::uint32_t> clusters{volume.RootHandle()};
  for (const std::u16string& component : components) {
    bool found = false;
    if (clusters.size() == 1) {
      // The virtual folders of the results model sit at the root.
      for (std::uint32_t marker : {kLostFilesMarker, kRawFilesMarker, kRebuildMarker}) {
        if (CompareNoCase(VirtualFolderName(marker), component) != 0) continue;
        clusters.push_back(marker);
        found = true;
        break;
      }
      if (found) continue;
    }
    for (const FoundEntry& e : volume.List(clusters.back(), {})) {
      if (e.dotEntry || !IsFolder(e.entry, volume.Type()) || CompareNoCase(e.name, component) != 0) continue;
      if (e.entry.Kind() == EntryKind::Overwritten) return std::nullopt;
      clusters.push_back(volume.FolderHandle(e.entry));
      found = true;
      break;
    }
    if (!found) return std::nullopt;
  }
  return clusters;
}

}  // namespace kestrova
