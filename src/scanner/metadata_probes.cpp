#include "scanner/metadata_probes.h"

#include "common/activity.h"
#include "common/le.h"
#include "fs/fat/fat_dir.h"
#include "fs/ntfs/found_records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kestrova {

std::u16string LostFolderName(std::uint32_t cluster) {
  char text[16];
  std::snprintf(text, sizeof text, "#%.9u", cluster);
  return std::u16string(text, text + std::strlen(text));
}

bool IsFatFolderStartBytes(std::span<const std::uint8_t> c) {
  if (c.size() < 2 * kDirEntrySize) return false;
  static constexpr char kDot[] = ".          ";
  static constexpr char kDotDot[] = "..         ";
  return std::memcmp(c.data(), kDot, 11) == 0 && std::memcmp(c.data() + 32, kDotDot, 11) == 0;
}

std::size_t PlausibleLeadingEntries(std::span<const std::uint8_t> c, std::uint32_t lastCluster, bool fat32) {
  std::size_t n = 0;
  for (std::size_t off = 0; off + kDirEntrySize <= c.size(); off += kDirEntrySize, ++n) {
    const std::span<const std::uint8_t> e = c.subspan(off, kDirEntrySize);
    if (e[0] == 0 || e[11] > 63) break;
    if (e[11] == kAttrLongName) {
      // A last long-name part ('A'..'O'), or a deleted part (whose sequence byte is gone).
      if (LoadLe16(e, 26) != 0) break;
      if (!(e[0] >= 0x41 && e[0] <= 0x4F) && e[0] != 0xE5) break;
      continue;
    }
    bool names = true;
    for (std::size_t i = 1; i <= 10; ++i) names = names && e[i] >= 0x20;
    if (!names) break;
    std::uint32_t first = LoadLe16(e, 26);
    if (fat32) first |= std::uint32_t{LoadLe16(e, 20)} << 16;
    if (first == 1 || first > lastCluster) break;
  }
  return n;
}

LostAppender::LostAppender(EntryList& lost) : lost_(lost) {
  std::scoped_lock g(lost_.lock);
  for (std::size_t i = 0; i < lost_.size(); ++i) firstClusters_.insert(lost_.at(i).FirstCluster());
}

bool LostAppender::Add(const ScanEntry& e, const std::u16string& name) {
  std::scoped_lock g(lost_.lock);
  if (!firstClusters_.insert(e.FirstCluster()).second) return false;
  if (!lost_.Add(e, name.empty() ? nullptr : &name)) return false;
  ++added_;
  return true;
}

namespace {

// Entries a folder listing does not reach: deleted, pointing at a free
// cluster, or overwritten / without a format check.
bool WorthListing(const FoundEntry& f) {
  if (f.dotEntry) return false;
  const ScanEntry& e = f.entry;
  if (e.attributes & kAttrVolume) return false;
  if (e.attributes == kAttrLongName) return false;
  return e.DeletedMark() == 1 || e.clusterInUse == 0 || e.Kind() == EntryKind::Overwritten ||
         e.Kind() == EntryKind::NotDetected;
}

}  // namespace

void FatMetadataProbe::ProbeCluster(std::span<const std::uint8_t> bytes, std::uint32_t cluster, bool reverse) {
  ActivityMark activity(Fn::ProbeFatCluster);
  if (bytes.size() < kDirEntrySize * 2 || cluster < 2 || cluster > ctx.volume.lastCluster) return;
  if (IsFatFolderStartBytes(bytes)) {
    if (reverse && (bytes.size() < 3 * kDirEntrySize || bytes[64] == 0)) return;
    AddFolderStart(bytes, cluster);
    return;
  }
  if (PlausibleLeadingEntries(bytes, ctx.volume.lastCluster, ctx.volume.type == FsType::Fat32) >= 1)
    AddFragment(cluster);
}

void FatMetadataProbe::AddFolderStart(std::span<const std::uint8_t> bytes, std::uint32_t cluster) {
  const FatVolume& v = ctx.volume;
  std::uint32_t parent = LoadLe16(bytes, 32 + 26);
  if (v.type == FsType::Fat32) parent |= std::uint32_t{LoadLe16(bytes, 32 + 20)} << 16;
  std::u16string name;
  sector_.assign(std::max<std::uint32_t>(v.bytesPerSector, 512), 0);
  if (parent >= 2 && parent <= v.lastCluster && IsFolderStart(ctx.device, v, parent, sector_)) {
    FoundEntry f;
    for (auto find = FindFirst(ctx, parent, kFindScan, {}, f, true); find && name.empty();) {
      const ScanEntry& e = f.entry;
      const bool skip = f.dotEntry || (e.attributes & kAttrVolume) || !(e.attributes & kAttrDirectory) ||
                        (f.name == u"?" && e.size == 0);
      if (!skip && e.FirstCluster() == cluster) name = f.name;
      if (!FindNext(ctx, *find, f)) break;
    }
  }
  if (name.empty()) name = LostFolderName(cluster);
  ScanEntry e = MakeScanEntry();
  e.parentLow = parent;
  e.SetFirstCluster(cluster);
  // Told apart from every listed entry by its own cluster.
  e.SetFolderCluster(cluster);
  e.SetDirEntryOffset(0xFFFFFFFF);
  e.attributes = kAttrDirectory;
  e.clusterInUse = 0;
  e.SetDeletedMark(0);
  e.SetKind(EntryKind::Ordinary);
  e.rating = rating::kFatFolder;
  lost.Add(e, name);
  ctx.volume.map.Mark(cluster, 1);
}

void FatMetadataProbe::AddFragment(std::uint32_t cluster) {
  FoundEntry f;
  auto find = FindFirst(ctx, cluster, kFindScan, {}, f, true);
  for (std::size_t steps = 0; find && steps < 65536; ++steps) {
    if (WorthListing(f)) lost.Add(f.entry, f.name);
    if (!FindNext(ctx, *find, f)) break;
  }
  ctx.volume.map.Mark(cluster, 1);
}

void ExfatMetadataProbe::ProbeCluster(std::span<const std::uint8_t> bytes, std::uint32_t cluster) {
  ActivityMark activity(Fn::ProbeExfatCluster);
  if (bytes.empty() || cluster < 2 || cluster > ctx.volume.lastCluster) return;
  const std::uint8_t type = bytes[0];
  if (type != 0x81 && type != 0x82 && type != 0x83 && type != 0x85 && type != 0x05) return;
  FoundEntry f;
  auto find = ExfatFindFirst(ctx, cluster, kFindFreeCluster, {}, f, 0, true);
  for (std::size_t steps = 0; find && steps < 65536; ++steps) {
    if (!f.dotEntry && WorthListing(f)) lost.Add(f.entry, f.name);
    if (!ExfatFindNext(ctx, *find, f)) break;
  }
}

void NtfsRecordProbe::ProbeRun(std::span<const std::uint8_t> bytes, std::uint64_t firstCluster,
                               std::uint64_t firstSector, bool batch) {
  ActivityMark activity(Fn::ProbeNtfsRun);
  const NtfsVolume& v = ctx.volume;
  const std::size_t bps = std::max<std::uint32_t>(v.bytesPerSector, 256);
  const std::size_t recordSize = std::max<std::uint32_t>(v.recordSize, 1024);
  const std::size_t bpc = std::max<std::size_t>(v.bytesPerCluster, bps);
  for (std::size_t off = 0; off + recordSize <= bytes.size(); off += bps) {
    if (std::memcmp(bytes.data() + off, "FILE", 4) != 0) continue;
    record_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(off),
                   bytes.begin() + static_cast<std::ptrdiff_t>(off + recordSize));
    ParsedRecord parsed;
    if (!ParseFileRecord(ctx, record_, firstCluster + off / bpc, parsed)) continue;
    parsed.entry.SetRecordSector(firstSector + off / bps);
    blockHadRecord_ = true;
    if (batch) {
      batch_.push_back(std::move(parsed));
    } else {
      // Appended as found: the reverse search merges nothing.
      std::scoped_lock g(lists_.lost.lock);
      lists_.lost.Add(parsed.entry, parsed.name.empty() ? nullptr : &parsed.name);
    }
  }
}

void NtfsRecordProbe::EndOfBlock() {
  if (!blockHadRecord_ && !batch_.empty()) Flush();
  blockHadRecord_ = false;
}

void NtfsRecordProbe::Flush() {
  if (batch_.empty()) return;
  FlushFoundRecords(lists_.lost, batch_);
  batch_.clear();
}

}  // namespace kestrova
