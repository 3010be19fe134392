#include "scanner/lost_paths.h"

#include "common/activity.h"
#include "common/le.h"
#include "fs/ntfs/ntfs_files.h"
#include "resources/strings.h"
#include "scan/virtual_folders.h"
#include "scanner/metadata_probes.h"

#include <algorithm>
#include <set>

namespace kestrova {

namespace {

// Folders deeper than this are taken for a loop.
constexpr std::size_t kMaxDepth = 256;

LostPath UnderLostFiles(std::u16string_view root, const std::u16string& built, EntryHandle own) {
  LostPath p;
  p.path = std::u16string(root) + Text(StringId::LostFilesDir) + built;
  p.handles = {VirtualHandle(kLostFilesMarker), own};
  p.underLostFiles = true;
  return p;
}

// The parent cluster a FAT folder's ".." names; nothing when the cluster does
// not begin a folder or cannot be read. 0 stands for the root.
std::optional<std::uint32_t> DotDotOf(FatContext& ctx, std::uint32_t cluster) {
  const FatVolume& v = ctx.volume;
  if (cluster < 2 || cluster > v.lastCluster) return std::nullopt;
  std::vector<std::uint8_t> sector(std::max<std::uint32_t>(v.bytesPerSector, 512), 0);
  if (!ctx.device.ReadClusterSector(cluster, sector) || !IsFatFolderStartBytes(sector)) return std::nullopt;
  std::uint32_t parent = LoadLe16(sector, 32 + 26);
  if (v.type == FsType::Fat32) parent |= std::uint32_t{LoadLe16(sector, 32 + 20)} << 16;
  return parent;
}

// The name under which `holder` lists the folder that starts at `cluster`.
std::optional<std::u16string> NameInFolder(FatContext& ctx, EntryHandle holder, std::uint32_t cluster) {
  FoundEntry f;
  std::size_t steps = 0;
  for (auto find = FindFirst(ctx, holder, kFindScan, {}, f, true); find && steps < 65536; ++steps) {
    if (!f.dotEntry && (f.entry.attributes & kAttrDirectory) && !(f.entry.attributes & 0x08) &&
        f.entry.FirstCluster() == cluster)
      return f.name;
    if (!FindNext(ctx, *find, f)) break;
  }
  return std::nullopt;
}

}  // namespace

LostPath LostPathFat(FatContext& ctx, const ScanEntry& folder, const std::u16string& name, std::u16string_view root) {
  ActivityMark activity(Fn::LostPathFat);
  const FatVolume& v = ctx.volume;
  const std::uint32_t c = folder.FirstCluster();
  const EntryHandle rootHandle = v.type == FsType::Fat32 ? v.rootCluster : kFixedRootHandle;
  std::u16string built = name;
  std::vector<EntryHandle> handles{c};
  auto parent = DotDotOf(ctx, c);
  if (!parent) return UnderLostFiles(root, built, c);
  std::uint32_t p = *parent;
  std::set<std::uint32_t> seen{c};
  while (p != 0 && p != v.rootCluster) {
    const auto grand = DotDotOf(ctx, p);
    if (!grand || !seen.insert(p).second || seen.size() > kMaxDepth) return UnderLostFiles(root, built, c);
    const std::uint32_t g = *grand;
    const auto parentName = NameInFolder(ctx, g == 0 || g == v.rootCluster ? rootHandle : g, p);
    if (!parentName) return UnderLostFiles(root, built, c);
    built = *parentName + u"\\" + built;
    handles.push_back(p);
    p = g;
  }
  LostPath out;
  out.path = std::u16string(root) + built;
  handles.push_back(rootHandle);
  std::reverse(handles.begin(), handles.end());
  out.handles = std::move(handles);
  return out;
}

LostPath LostPathExfat(ExfatContext& ctx, const ScanEntry& folder, const std::u16string& name,
                       std::u16string_view root) {
  ActivityMark activity(Fn::LostPathExfat);
  const std::uint32_t c = folder.FirstCluster();
  const std::uint32_t p = folder.parentLow;
  if (p == ctx.volume.rootCluster) {
    LostPath out;
    out.path = std::u16string(root) + name;
    out.handles = {ctx.volume.rootCluster, c};
    return out;
  }
  return UnderLostFiles(root, name, c);
}

LostPath LostPathNtfs(const EntryList& lost, const ScanEntry& entry, const std::u16string& name,
                      std::u16string_view root) {
  ActivityMark activity(Fn::LostPathNtfs);
  std::u16string built = name;
  std::vector<EntryHandle> handles{entry.recordNumber};
  std::uint64_t parent = entry.ParentRecord();
  std::set<std::uint64_t> seen{entry.recordNumber};
  std::scoped_lock g(lost.lock);
  const std::size_t n = lost.size();
  while (parent != kNtfsRootRecord) {
    if (!seen.insert(parent).second || seen.size() > kMaxDepth) return UnderLostFiles(root, name, entry.recordNumber);
    std::optional<std::size_t> at;
    for (std::size_t i = 0; i < n && !at; ++i)
      if (lost.at(i).recordNumber == parent) at = i;
    if (!at) return UnderLostFiles(root, name, entry.recordNumber);
    const ScanEntry e = lost.at(*at);
    const std::u16string* parentName = lost.NameOf(e);
    built = (parentName ? *parentName : std::u16string()) + u"\\" + built;
    handles.push_back(parent);
    parent = e.ParentRecord();
  }
  LostPath out;
  out.path = std::u16string(root) + built;
  handles.push_back(kNtfsRootRecord);
  std::reverse(handles.begin(), handles.end());
  out.handles = std::move(handles);
  return out;
}

}  // namespace kestrova
