#include "fs/fat/fat_find.h"

#include "common/activity.h"
#include "scan/lost_parents.h"
#include "common/le.h"
#include "common/text.h"
#include "fs/fat/fat_dir.h"
#include "raw/content_checks.h"
#include "scan/virtual_folders.h"

#include <algorithm>

namespace kestrova {
namespace {

constexpr std::uint64_t kFixedRootBytes = 16384;
constexpr std::uint64_t kMaxChainDirectory = 0x18000000;

enum class Step { End, Skip, Entry };


std::uint32_t EntryCluster(std::span<const std::uint8_t> e) {
  return LoadLe16(e, 26) | std::uint32_t{LoadLe16(e, 20)} << 16;
}

// Reads `clusters` consecutive clusters from `first` into out (resized).
bool ReadRun(FatContext& ctx, std::uint32_t first, std::uint64_t clusters, std::vector<std::uint8_t>& out,
             UnreadableRanges& unreadable) {
  const FatVolume& v = ctx.volume;
  out.assign(static_cast<std::size_t>(clusters * v.bytesPerCluster), 0);
  const std::uint64_t unit = std::max<std::uint64_t>(1, std::max<std::uint64_t>(ctx.device.buffers.transferUnit(), v.bytesPerCluster) / v.bytesPerCluster);
  const std::uint32_t spc = std::max<std::uint32_t>(1, ctx.device.sectorsPerCluster);
  for (std::uint64_t at = 0; at < clusters; at += unit) {
    const auto n = static_cast<std::uint32_t>(std::min(unit, clusters - at));
    const auto offset = static_cast<std::size_t>(at * v.bytesPerCluster);
    ReadSectorsKeeping(ctx.device, ctx.device.ClusterSector(first + at),
                       std::span(out).subspan(offset, std::size_t{n} * v.bytesPerCluster), n * spc, &unreadable, offset);
  }
  return true;
}

// Size of a directory whose chain is gone: walk plausible entries 2 clusters at a time.
std::uint64_t ProbeDirectory(FatContext& ctx, std::uint32_t first, std::vector<std::uint8_t>& scratch) {
  const FatVolume& v = ctx.volume;
  std::uint64_t walked = 0;
  for (std::uint32_t c = first; c <= v.lastCluster && walked < kMaxDirectoryBytes; c += 2) {
    const std::uint32_t n = std::min<std::uint32_t>(2, v.lastCluster - c + 1);
    scratch.assign(std::size_t{n} * v.bytesPerCluster, 0);
    if (ctx.device.ReadClusters(c, scratch, n) != ReadOk) break;
    for (std::size_t off = 0; off + kDirEntrySize <= scratch.size(); off += kDirEntrySize) {
      const auto e = std::span<const std::uint8_t>(scratch).subspan(off, kDirEntrySize);
      if (e[0] == 0 || !IsPlausibleEntry(e)) return walked;
      const bool dot = e[0] == '.' && (e[1] == ' ' || (e[1] == '.' && e[2] == ' '));
      if (!(dot && walked > 0)) {
        if (e[11] >= 0x40) return walked;
        if (e[11] != kAttrLongName && EntryCluster(e) > v.lastCluster) return walked;
      }
      walked += kDirEntrySize;
    }
  }
  return walked;
}

void MarkRange(FatVolume& v, std::uint64_t first, std::uint64_t clusters) {
  for (std::uint64_t i = 0; i < clusters && first + i <= v.lastCluster; ++i) v.map.Mark(first + i, 2);
}

// The FAT32 high-half search for a deleted entry's first cluster.
void HighHalfSearch(FatContext& ctx, DirFind& f, ScanEntry& e, std::u16string_view name, bool folder) {
  FatVolume& v = ctx.volume;
  if (ctx.lists) {
    std::scoped_lock g(ctx.lists->deletedLock);
    if (auto note = ctx.lists->FindNote(e.FolderCluster(), e.DirEntryOffset())) {
      e.SetFirstCluster(note->FoundCluster());
      e.kind = note->kind;
      return;
    }
  }
  const ContentCheck check = folder ? nullptr : ContentCheckFor(name);
  const std::uint32_t low = e.FirstCluster() & 0xFFFF;
  const std::uint32_t start = e.FirstCluster() >> 16;
  if (!folder && !check) {
    e.SetKind(EntryKind::NotDetected);
  } else {
    CheckContext cc{ctx.device, [&](std::uint64_t a, std::uint64_t n) { MarkRange(v, a, n); }};
    bool found = false;
    std::uint32_t high = start;
    do {
      const std::uint32_t candidate = high << 16 | low;
      if (candidate > v.lastCluster) break;
      if (candidate >= 2 && IsClusterFree(v, candidate)) {
        bool ok;
        if (folder) {
          ok = ctx.device.ReadClusterSector(candidate, f.scratch) && f.scratch[0] == '.' && f.scratch[32] == '.' &&
               f.scratch[33] == '.' && LoadLe16(f.scratch, 26) == low;
        } else {
          CheckedFile file{e.size};
          ok = RunContentCheck(check, cc, candidate, file, f.scratch);
        }
        if (ok) {
          e.SetFirstCluster(candidate);
          if (folder) {
            if (e.Kind() == EntryKind::Ordinary) e.SetKind(EntryKind::FolderVerified);
            v.map.Mark(candidate, cluster_mark::kFoundStart);
          } else if (v.map.Get(candidate) == 0) {
            v.map.Mark(candidate, cluster_mark::kAllocated);
          }
          found = true;
          break;
        }
      }
      high = (high + 1) & 0xFFFF;
    } while (high != start);
    if (!found) e.SetKind(EntryKind::Overwritten);
  }
  if (ctx.lists) {
    DeletedEntryNote note{static_cast<std::uint16_t>(e.FirstCluster()), static_cast<std::uint16_t>(e.FirstCluster() >> 16),
                          e.FolderCluster(), e.DirEntryOffset(), e.kind};
    std::scoped_lock g(ctx.lists->deletedLock);
    ctx.lists->AddNote(note);
  }
}

void VerifyDeleted(FatContext& ctx, DirFind& f, ScanEntry& e, std::u16string_view name, bool folder) {
  FatVolume& v = ctx.volume;
  const std::uint32_t first = e.FirstCluster();
  if (v.type == FsType::Fat32) {
    if (!folder && f.mode == kFindScan) {
      e.rating = rating::kNotComputed;
      return;
    }
    if (!folder && e.size == 0) return;  // no data to look for
    HighHalfSearch(ctx, f, e, name, folder);
    return;
  }
  if (folder) {
    if (!IsFolderStart(ctx.device, v, first, f.scratch)) e.SetKind(EntryKind::Overwritten);
    return;
  }
  if (e.size == 0) return;
  const ContentCheck check = ContentCheckFor(name);
  if (!check) {
    e.SetKind(EntryKind::NotDetected);
    return;
  }
  if (first < 2 || first > v.lastCluster) {
    e.SetKind(EntryKind::Overwritten);
    return;
  }
  CheckContext cc{ctx.device, [&](std::uint64_t a, std::uint64_t n) { MarkRange(v, a, n); }};
  CheckedFile file{e.size};
  if (!RunContentCheck(check, cc, first, file, f.scratch)) e.SetKind(EntryKind::Overwritten);
}

// Parses the entry at pos. Entry: out and consumed are set; Skip: 32 bytes on.
Step ParseAt(FatContext& ctx, DirFind& f, std::size_t pos, FoundEntry& out, std::size_t& consumed) {
  const std::span<const std::uint8_t> dir(f.dir);
  if (pos + kDirEntrySize > dir.size()) return Step::End;
  const auto b = dir.subspan(pos, kDirEntrySize);
  if (b[0] == 0) return Step::End;
  FatVolume& v = ctx.volume;
  std::size_t shortAt = pos;
  std::u16string longName;
  consumed = kDirEntrySize;
  if (b[11] == kAttrLongName) {
    // Deleted parts are read back from their short entry.
    if (IsDeletedMarker(b[0])) return Step::Skip;
    const std::size_t count = b[0] & 0x3F;
    if (count == 0 || count > 20) return Step::Skip;
    shortAt = pos + count * kDirEntrySize;
    if (shortAt + kDirEntrySize > dir.size()) return Step::Skip;
    const auto s = dir.subspan(shortAt, kDirEntrySize);
    if (s[11] == kAttrLongName || s[0] == 0 || IsDeletedMarker(s[0])) return Step::Skip;
    if (f.mode != kFindShortNames) longName = AssembleLongName(dir, shortAt, count);
    consumed = (count + 1) * kDirEntrySize;
  } else {
    const bool accepted = b[0] == '.' || b[11] == kAttrVolume || IsValidFatDate(LoadLe16(b, 18));
    if (!accepted) return Step::Skip;
  }
  const auto s = dir.subspan(shortAt, kDirEntrySize);
  const bool deleted = IsDeletedMarker(s[0]);
  if (deleted && f.mode != kFindShortNames) {
    std::size_t parts = 0;
    while (parts < 20 && shortAt >= (parts + 1) * kDirEntrySize) {
      const auto p = dir.subspan(shortAt - (parts + 1) * kDirEntrySize, kDirEntrySize);
      if (!IsDeletedMarker(p[0]) || p[11] != kAttrLongName) break;
      ++parts;
    }
    longName = AssembleLongName(dir, shortAt, parts);
  }
  const std::uint8_t attr = s[11];
  const bool label = attr == kAttrVolume;
  const bool folder = !label && (attr & kAttrDirectory);
  const bool garbage = s[8] < 0x20 || s[9] < 0x20 || s[10] < 0x20;
  std::uint32_t first = garbage ? 0xFFFFFFFFu : EntryCluster(s);
  const std::uint16_t date = garbage ? 0 : LoadLe16(s, 18);

  std::u16string name;
  if (label) {
    name = Latin1Field(s.subspan(0, 11));
    while (!name.empty() && name.back() == u' ') name.pop_back();
  } else {
    std::array<std::uint8_t, kDirEntrySize> copy;
    std::copy(s.begin(), s.end(), copy.begin());
    if (deleted) copy[0] = '?';
    name = FormatShortName(copy);
  }
  if (!longName.empty()) name = longName;
  // By the short name: a long name spelling "." or ".." is just a hostile name.
  const bool dot = !deleted && s[0] == '.' && (std::equal(s.begin(), s.begin() + 11, ".          ") ||
                                                std::equal(s.begin(), s.begin() + 11, "..         "));

  if (first > v.lastCluster || (first != 0 && date == 0 && !dot)) return Step::Skip;

  ScanEntry e = MakeScanEntry();
  e.SetFirstCluster(first);
  e.size = folder ? 0 : LoadLe32(s, 28);
  e.SetDirEntryOffset(static_cast<std::uint32_t>(shortAt));
  e.SetFolderCluster(f.handle);
  e.SetDeletedMark(deleted ? 1 : 0);
  e.attributes = attr;
  e.SetFatDate(date);
  e.rating = rating::kNotComputed;
  e.clusterInUse = 1;
  if (first <= v.lastCluster && IsClusterFree(v, first)) {
    e.clusterInUse = 0;
    v.map.Mark(first, cluster_mark::kFoundStart);
  }
  if (!deleted) {
    if (folder && !dot && f.mode != kFindNoVerify && first != v.rootCluster && first != 0 &&
        !IsFolderStart(ctx.device, v, first, f.scratch))
      e.SetKind(EntryKind::Overwritten);
  } else if (f.mode != kFindNoVerify) {
    VerifyDeleted(ctx, f, e, name, folder);
  }
  if (!(v.type == FsType::Fat32 && deleted && !folder && f.mode == kFindScan)) e.rating = RecoverabilityPercent(ctx, e);
  out.entry = e;
  out.name = std::move(name);
  out.dotEntry = dot;
  return Step::Entry;
}

}  // namespace

void LoadDirectory(FatContext& ctx, std::uint32_t handle, DirFind& f) {
  ActivityMark activity(Fn::LoadDirectory);
  const FatVolume& v = ctx.volume;
  f.dir.clear();
  f.unreadable.clear();
  if (handle == kFixedRootHandle && v.type != FsType::Fat32) {
    const std::uint32_t sectors = static_cast<std::uint32_t>(kFixedRootBytes / v.bytesPerSector);
    f.dir.assign(static_cast<std::size_t>(kFixedRootBytes), 0);
    ReadSectorsKeeping(ctx.device, v.rootDirSector, f.dir, sectors, &f.unreadable);
    return;
  }
  if (handle < 2 || handle > v.lastCluster) return;
  const std::uint64_t chain = ChainBytes(v, handle);
  if (chain != 0 && chain < kMaxChainDirectory && !v.fat.empty()) {
    const std::uint64_t bytes = std::min(chain, kMaxDirectoryBytes);
    f.dir.assign(static_cast<std::size_t>(bytes), 0);
    const std::uint64_t clusterBytes = (bytes - (bytes == chain ? 512 : 0)) / v.bytesPerCluster * v.bytesPerCluster;
    // What reads is kept: one bad sector must not hide the whole folder.
    if (!ReadFatChain(ctx.device, v, handle, f.dir, clusterBytes, &f.unreadable)) f.dir.clear();
    return;
  }
  const std::uint64_t walked = ProbeDirectory(ctx, handle, f.scratch);
  const std::uint64_t size = (walked + v.bytesPerCluster - 1) / v.bytesPerCluster * v.bytesPerCluster + 512;
  const std::uint64_t clusters = std::min<std::uint64_t>(size / v.bytesPerCluster, v.lastCluster - handle + 1);
  if (clusters) ReadRun(ctx, handle, clusters, f.dir, f.unreadable);
}

std::unique_ptr<DirFind> FindFirst(FatContext& ctx, EntryHandle folder, int mode, const DisplayFilter& filter,
                                   FoundEntry& out, bool unfiltered) {
  auto f = std::make_unique<DirFind>();
  f->handle = MarkerOf(folder);
  f->mode = mode;
  f->filter = filter;
  f->unfiltered = unfiltered;
  f->scratch.assign(std::size_t{4} * std::max<std::uint32_t>(ctx.volume.bytesPerCluster, 512), 0);
  const std::optional<std::uint32_t> cluster = DirectoryCluster(folder);
  if (!cluster) {
    // Opening "Rebuild" makes its folders again from the lost files as they are now.
    if (folder == VirtualHandle(kRebuildMarker) && ctx.lists) RebuildLostParents(*ctx.lists, ctx.volume.rootCluster);
    if (!OpenVirtualFolder(*f, folder, ctx.lists) || !NextFromVirtualFolder(*f, ctx.volume.type, ctx.extensions, out))
      return nullptr;
    return f;
  }
  const std::uint32_t handle = *cluster;  // one rebuilt folder: a directory at that cluster
  f->handle = handle;
  LoadDirectory(ctx, handle, *f);
  if (f->dir.empty()) return nullptr;
  f->ownClusterFree = handle >= 2 && !ctx.volume.damaged && !ctx.volume.fat.empty() && IsClusterFree(ctx.volume, handle);
  f->pos = 0;
  f->consumed = 0;
  if (!FindNext(ctx, *f, out)) return nullptr;
  return f;
}

bool FindNext(FatContext& ctx, DirFind& f, FoundEntry& out) {
  ActivityMark activity(Fn::FindNext);
  if (f.list) return NextFromVirtualFolder(f, ctx.volume.type, ctx.extensions, out);
  std::size_t pos = f.pos + f.consumed;
  while (pos + kDirEntrySize <= f.dir.size()) {
    // An unreadable part reads as zeros: passed over, the entries after it still listed.
    const auto bad = std::find_if(f.unreadable.begin(), f.unreadable.end(),
                                  [&](const auto& r) { return pos >= r.first && pos < r.second; });
    if (bad != f.unreadable.end()) {
      pos = (bad->second + kDirEntrySize - 1) / kDirEntrySize * kDirEntrySize;
      continue;
    }
    std::size_t consumed = kDirEntrySize;
    const Step step = ParseAt(ctx, f, pos, out, consumed);
    if (step == Step::End) break;
    if (step == Step::Skip) {
      pos += kDirEntrySize;
      continue;
    }
    f.pos = pos;
    f.consumed = consumed;
    ScanEntry& e = out.entry;
    const bool folder = IsFolder(e, ctx.volume.type);
    if (folder && out.dotEntry && out.name.size() == 2) {
      e.SetKind(EntryKind::ParentLink);
      e.rating = rating::kNavigation;
    } else {
      if (folder && !out.dotEntry && e.FirstCluster() == f.handle) e.SetKind(EntryKind::Overwritten);
      if (f.ownClusterFree && !e.DeletedMark() && e.clusterInUse && e.Kind() == EntryKind::Ordinary) {
        // The folder itself was deleted: what it holds is deleted too.
        e.SetDeletedMark(1);
        if (!ctx.volume.damaged) e.SetKind(EntryKind::Overwritten);
      }
      if (e.Kind() == EntryKind::Overwritten) e.rating = RecoverabilityPercent(ctx, e);
    }
    if (f.unfiltered || PassesFilter(e, out.name, folder, f.filter)) return true;
    pos += consumed;
  }
  f.pos = f.dir.size();
  f.consumed = 0;
  return false;
}

std::uint8_t RecoverabilityPercent(const FatContext& ctx, const ScanEntry& e) {
  ActivityMark activity(Fn::RecoverabilityPercent);
  const FatVolume& v = ctx.volume;
  if (IsFolder(e, v.type)) return rating::kFatFolder;
  if (!ctx.treeLoaded) return e.DeletedMark() ? rating::kNotComputed : 0;
  if (e.Kind() == EntryKind::Overwritten || e.Kind() == EntryKind::NotDetected) return rating::kNotComputed;
  const std::uint64_t a = e.FirstCluster();
  if (a > v.lastCluster) return rating::kNotComputed;
  const std::uint64_t c = (e.size + v.bytesPerCluster - 1) / v.bytesPerCluster;
  const std::uint8_t value = v.map.Get(a + 1);
  // The next cluster belongs to another file's verified range. The entry's own
  // range (its first cluster carries the mark too) is no reason to doubt it.
  if (c > 1 && value == 2 && !(v.map.Get(a) & 2)) return static_cast<std::uint8_t>(100 - (c - 1) * 100 / c);
  if (c <= 2) return 100;
  std::uint64_t i = a + 2;
  while (i < a + c && i <= v.lastCluster && v.map.Get(i) == value) ++i;
  return i == a + c ? 100 : static_cast<std::uint8_t>(100 - (a + c - i) * 100 / c);
}

std::vector<FoundEntry> ListFolder(FatContext& ctx, EntryHandle handle, int mode, const DisplayFilter& filter) {
  ActivityMark activity(Fn::ListFolder);
  std::vector<FoundEntry> all;
  FoundEntry e;
  auto f = FindFirst(ctx, handle, mode, filter, e);
  if (!f) return all;
  do {
    all.push_back(e);
  } while (FindNext(ctx, *f, e));
  return all;
}

ResolvedPath ResolvePath(FatContext& ctx, std::u16string_view rootText, std::u16string_view path) {
  ActivityMark activity(Fn::ResolvePath);
  ResolvedPath r;
  std::size_t slash = path.find(u'\\');
  std::u16string first(path.substr(0, slash == std::u16string_view::npos ? path.size() : slash + 1));
  if (!first.empty() && first.back() == u':') first += u'\\';
  if (CompareNoCase(first, rootText) != 0) return r;
  std::uint32_t current = ctx.volume.rootCluster;
  r.clusters.push_back(current);
  r.result = current;
  std::u16string_view rest = slash == std::u16string_view::npos ? std::u16string_view() : path.substr(slash + 1);
  while (!rest.empty()) {
    const std::size_t next = rest.find(u'\\');
    const std::u16string_view component = rest.substr(0, next);
    rest = next == std::u16string_view::npos ? std::u16string_view() : rest.substr(next + 1);
    if (component.empty()) continue;
    bool found = false;
    for (const FoundEntry& e : ListFolder(ctx, current, kFindVerify)) {
      if (!IsFolder(e.entry, ctx.volume.type) || CompareNoCase(e.name, component) != 0) continue;
      if (e.entry.Kind() == EntryKind::Overwritten) return r;  // the path is cut here
      current = e.entry.FirstCluster();
      found = true;
      break;
    }
    if (!found) {
      r.result = -10;
      return r;
    }
    r.clusters.push_back(current);
    r.result = current;
  }
  return r;
}

std::optional<FoundEntry> FindEntryByCluster(FatContext& ctx, std::uint32_t cluster, std::u16string_view wantedName) {
  ActivityMark activity(Fn::FindEntryByCluster);
  const FatVolume& v = ctx.volume;
  std::vector<std::uint8_t> first(v.bytesPerCluster);
  if (cluster < 2 || cluster > v.lastCluster || ctx.device.ReadClusters(cluster, first, 1) != ReadOk) return std::nullopt;
  std::uint32_t parent = v.rootCluster;
  if (first.size() >= 64 && first[32] == '.' && first[33] == '.') {
    const std::uint32_t p = EntryCluster(std::span<const std::uint8_t>(first).subspan(32, 32));
    parent = p == 0 ? v.rootCluster : p;
  }
  for (FoundEntry& e : ListFolder(ctx, parent, kFindVerify)) {
    if (e.entry.FirstCluster() != cluster || e.dotEntry) continue;
    if (!wantedName.empty() && CompareNoCase(e.name, wantedName) != 0) continue;
    return e;
  }
  return std::nullopt;
}

}  // namespace kestrova
