#include "fs/exfat/exfat_find.h"

#include "common/activity.h"
#include "scan/lost_parents.h"

#include "common/le.h"
#include "fs/chain_guard.h"
#include "raw/content_checks.h"

#include <algorithm>

namespace kestrova {
namespace {

constexpr std::size_t kEntry = 32;
constexpr std::uint64_t kMaxChainDirectory = 0x10000000;
constexpr std::uint64_t kMaxDirectory = 8u << 20;  // far beyond any real folder; bounds a hostile one
constexpr std::size_t kSlack = 0x4000;
constexpr std::uint64_t kPiece = 64 * 1024;

bool IsFileEntry(std::uint8_t t) { return t == 0x85 || t == 0x05; }
bool IsStream(std::uint8_t t) { return t == 0xC0 || t == 0x40; }
bool IsName(std::uint8_t t) { return t == 0xC1 || t == 0x41; }
bool IsSetEntry(std::uint8_t t) { return IsFileEntry(t) || IsStream(t) || IsName(t); }

void ReadRun(ExfatContext& ctx, std::uint32_t first, std::uint64_t clusters, std::vector<std::uint8_t>& out) {
  const ExfatVolume& v = ctx.volume;
  const std::uint64_t bytes = clusters * v.bytesPerCluster;
  out.assign(static_cast<std::size_t>(bytes + kSlack), 0);
  const std::uint64_t unit =
      std::max<std::uint64_t>(1, std::max<std::uint64_t>(ctx.device.buffers.transferUnit(), v.bytesPerCluster) / v.bytesPerCluster);
  for (std::uint64_t at = 0; at < clusters; at += unit) {
    const auto n = static_cast<std::uint32_t>(std::min(unit, clusters - at));
    ctx.device.ReadClusters(static_cast<std::uint32_t>(first + at),
                            std::span(out).subspan(static_cast<std::size_t>(at * v.bytesPerCluster),
                                                   std::size_t{n} * v.bytesPerCluster),
                            n);
  }
}

// A folder whose chain tells nothing: walk clusters while they hold entry sets.
std::uint64_t ProbeClusters(ExfatContext& ctx, std::uint32_t first, std::vector<std::uint8_t>& scratch) {
  const ExfatVolume& v = ctx.volume;
  std::uint64_t clusters = 0;
  for (std::uint32_t c = first; c <= v.lastCluster && clusters * v.bytesPerCluster < kMaxDirectory; ++c) {
    // Large clusters are judged by their first 64 KiB.
    const std::uint64_t look = std::min<std::uint64_t>(v.bytesPerCluster, kPiece);
    scratch.assign(static_cast<std::size_t>(look), 0);
    const auto sectors = static_cast<std::uint32_t>(look / v.bytesPerSector);
    if (ctx.device.ReadSectors(ctx.device.ClusterSector(c), scratch, sectors) != ReadOk) break;
    if (c != first && !IsFileEntry(scratch[0])) break;
    ++clusters;
    bool ended = false;
    for (std::size_t off = 0; off + kEntry <= scratch.size(); off += kEntry) {
      const std::uint8_t t = scratch[off];
      if (c == first && (t == 0x81 || t == 0x82 || t == 0x83)) continue;
      if (!IsSetEntry(t)) {
        ended = true;
        break;
      }
    }
    if (ended) break;
  }
  return clusters;
}

std::u16string NameOf(std::span<const std::uint8_t> nameEntry) {
  std::u16string s;
  for (std::size_t k = 0; k < 15; ++k) s.push_back(static_cast<char16_t>(LoadLe16(nameEntry, 2 + 2 * k)));
  return s;
}

void MarkRange(ExfatVolume& v, std::uint64_t first, std::uint64_t n) {
  for (std::uint64_t i = 0; i < n && first + i <= v.lastCluster; ++i) v.map.Mark(first + i, 2);
}

}  // namespace

std::uint32_t ExfatEntryNext(const ExfatVolume& v, const ScanEntry& e, std::uint32_t cluster) {
  ActivityMark activity(Fn::ExfatEntryNext);
  // Without a FAT chain the table's entries for these clusters mean nothing.
  if (e.dataForm == kExfatNoFatChain) return cluster + 1;
  return ExfatNextAssumed(v, cluster);
}

std::uint8_t ExfatDeletedPercent(const ExfatContext& ctx, const ScanEntry& e, bool ownRange) {
  ActivityMark activity(Fn::ExfatDeletedPercent);
  const ExfatVolume& v = ctx.volume;
  if (v.bitmap.empty()) return rating::kNotComputed;
  if ((e.attributes & kAttrDirectory) || e.size == 0) return rating::kNavigation;
  if (e.size < v.bytesPerCluster) return rating::kNotComputed;
  // A size from disk may claim more clusters than the volume has.
  const std::uint64_t volumeClusters = v.lastCluster >= 2 ? std::uint64_t{v.lastCluster} - 1 : 0;
  const std::uint64_t n = std::min((e.size - 1) / v.bytesPerCluster + 1, volumeClusters);
  if (n == 0) return 0;
  std::uint64_t count = 0;
  std::uint32_t c = e.FirstCluster();
  ChainGuard guard;
  for (std::uint64_t i = 0; i < n && c >= 2 && c <= v.lastCluster && guard.Visit(c); ++i) {
    // The entry's own marks (its found start, and the range its tail check
    // verified) are no reason to doubt it; anything else is.
    const std::uint8_t value = v.map.Get(c);
    const bool own = (ownRange && value == 2) ||
                     (i == 0 && (value == cluster_mark::kFoundStart) && IsExfatClusterFree(v, c));
    if (value == 0 || own) ++count;
    c = ExfatEntryNext(v, e, c);
  }
  return static_cast<std::uint8_t>(count * 100 / n);
}

SetParse ParseEntrySet(ExfatContext& ctx, std::span<const std::uint8_t> d, int mode, FoundEntry& out,
                       std::span<std::uint8_t> scratch) {
  ExfatVolume& v = ctx.volume;
  SetParse r;
  std::size_t at = 0;
  // 1. Up to the next file entry.
  for (;; at += kEntry) {
    if (at + kEntry > d.size() || d[at] == 0x00) {
      r.end = true;
      return r;
    }
    if (!IsFileEntry(d[at])) continue;
    if (mode == kFindFoldersOnly && !(LoadLe16(d, at + 4) & kAttrDirectory)) continue;
    break;
  }
  const auto file = d.subspan(at, kEntry);
  const std::size_t secondary = file[1];
  const std::size_t skipped = at;
  auto reject = [&] {  // not returned; go on after the file entry
    r.consumed = skipped + kEntry;
    return r;
  };
  // 2. A sane secondary count.
  if (secondary < 2 || secondary > 18) return reject();
  if (at + (secondary + 1) * kEntry > d.size()) return reject();
  ScanEntry e = MakeScanEntry();
  const bool deleted = file[0] == 0x05;
  e.attributes = static_cast<std::uint8_t>(LoadLe16(file, 4));
  const bool folder = e.attributes & kAttrDirectory;
  e.SetExfatTime(LoadLe32(file, 16));
  e.SetDeletedMark(deleted ? 1 : 0);
  bool computeRating = deleted;
  bool tailVerified = false;
  if (!deleted) e.rating = folder ? rating::kNavigation : rating::kIntact;
  // 4. The stream extension.
  const auto stream = d.subspan(at + kEntry, kEntry);
  if (!IsStream(stream[0]) || stream[3] == 0) return reject();
  e.SetFirstCluster(LoadLe32(stream, 20));
  e.size = LoadLe64(stream, 24);
  if (stream[1] & kExfatNoFatChainFlag) e.dataForm = kExfatNoFatChain;
  const std::size_t nameLength = stream[3];
  // 5./6. The names: at most secondary - 1 entries, the first with a character.
  const auto firstName = d.subspan(at + 2 * kEntry, kEntry);
  if (!IsName(firstName[0]) || LoadLe16(firstName, 2) == 0) return reject();
  std::size_t names = 0;
  std::u16string name;
  while (names < secondary - 1 && IsName(d[at + (2 + names) * kEntry])) {
    if (mode != kFindShortNames) name += NameOf(d.subspan(at + (2 + names) * kEntry, kEntry));
    ++names;
  }
  if (names < secondary - 1) return reject();
  if (name.size() > nameLength) name.resize(nameLength);

  // 7./8. The first cluster against the bitmap.
  const std::uint32_t first = e.FirstCluster();
  if (first >= 2 && IsExfatClusterFree(v, first)) {
    e.clusterInUse = 0;
    v.map.Mark(first, cluster_mark::kFoundStart);
    if (deleted && !folder && e.size > 0) {
      if (const ContentCheck check = ContentCheckFor(name)) {
        CheckContext cc{ctx.device, [&](std::uint64_t a, std::uint64_t n) { MarkRange(v, a, n); }};
        CheckedFile checked{e.size};
        if (RunContentCheck(check, cc, first, checked, scratch)) {
          tailVerified = checked.tailVerified;
          if (e.size <= v.bytesPerCluster) {
            e.rating = rating::kIntact;
            computeRating = false;
          }
        } else {
          e.SetKind(EntryKind::Overwritten);
        }
      }
    }
  } else {
    e.clusterInUse = 1;
    if (deleted && folder) {
      e.SetKind(EntryKind::Overwritten);
      e.rating = 0;
      computeRating = false;
    }
  }
  if (computeRating) e.rating = ExfatDeletedPercent(ctx, e, tailVerified);
  // Only an existing folder speaks for its clusters now (a deleted one's may
  // belong to a newer folder).
  if (folder && !deleted && first >= 2 && ctx.contiguous) {
    ExfatContiguousFolders& c = *ctx.contiguous;
    const std::lock_guard lock(c.lock);
    if (e.dataForm != kExfatNoFatChain)
      c.bytes.erase(first);
    else if (e.size && (c.bytes.size() < ExfatContiguousFolders::kMaxFolders || c.bytes.count(first)))
      c.bytes[first] = e.size;
  }
  e.SetDirEntryOffset(static_cast<std::uint32_t>(skipped));
  out.entry = e;
  out.name = std::move(name);
  out.dotEntry = false;
  r.valid = true;
  r.consumed = skipped + (secondary + 1) * kEntry;
  return r;
}

void LoadExfatDirectory(ExfatContext& ctx, std::uint32_t handle, DirFind& f) {
  ActivityMark activity(Fn::LoadExfatDirectory);
  const ExfatVolume& v = ctx.volume;
  f.dir.clear();
  if (handle < 2 || handle > v.lastCluster) return;
  std::uint64_t contiguousBytes = 0;
  if (ctx.contiguous) {
    const std::lock_guard lock(ctx.contiguous->lock);
    if (const auto it = ctx.contiguous->bytes.find(handle); it != ctx.contiguous->bytes.end()) contiguousBytes = it->second;
  }
  if (contiguousBytes) {
    // Its size in whole clusters, within the volume and the directory limit.
    const std::uint64_t wanted = (std::min(contiguousBytes, kMaxDirectory) + v.bytesPerCluster - 1) / v.bytesPerCluster;
    ReadRun(ctx, handle, std::min<std::uint64_t>(wanted, std::uint64_t{v.lastCluster} - handle + 1), f.dir);
    return;
  }
  const std::uint64_t chain = ExfatChainBytes(v, handle);
  const bool noChain = !v.fat.empty() && ExfatNextCluster(v, handle) == 0;  // a contiguous folder
  std::uint64_t clusters;
  if (chain != 0 && chain < kMaxChainDirectory && !noChain) {
    clusters = std::min(chain, kMaxDirectory) / v.bytesPerCluster;
    // Runs of the chain, each in one request.
    f.dir.assign(static_cast<std::size_t>(clusters * v.bytesPerCluster + kSlack), 0);
    std::uint32_t c = handle;
    for (std::uint64_t done = 0; done < clusters && c >= 2 && c <= v.lastCluster;) {
      std::uint32_t n = 1;
      while (done + n < clusters && ExfatNextCluster(v, c + n - 1) == c + n) ++n;
      ctx.device.ReadClusters(c, std::span(f.dir).subspan(static_cast<std::size_t>(done * v.bytesPerCluster),
                                                          std::size_t{n} * v.bytesPerCluster),
                              n);
      done += n;
      c = ExfatNextCluster(v, c + n - 1);
    }
    return;
  }
  clusters = ProbeClusters(ctx, handle, f.scratch);
  if (clusters) ReadRun(ctx, handle, clusters, f.dir);
}

std::unique_ptr<DirFind> ExfatFindFirst(ExfatContext& ctx, EntryHandle folder, int mode, const DisplayFilter& filter,
                                        FoundEntry& out, std::uint32_t parent, bool unfiltered) {
  auto f = std::make_unique<DirFind>();
  f->handle = MarkerOf(folder);
  f->mode = mode;
  f->filter = FilterForFamily(filter, FsType::Exfat);
  f->unfiltered = unfiltered;
  f->scratch.assign(std::max<std::size_t>(ctx.volume.bytesPerSector, 512), 0);
  const std::optional<std::uint32_t> cluster = DirectoryCluster(folder);
  if (!cluster) {
    // Opening "Rebuild" makes its folders again from the lost files as they are now.
    if (folder == VirtualHandle(kRebuildMarker) && ctx.lists) RebuildLostParents(*ctx.lists, ctx.volume.rootCluster);
    if (!OpenVirtualFolder(*f, folder, ctx.lists) || !NextFromVirtualFolder(*f, FsType::Exfat, ctx.extensions, out))
      return nullptr;
    return f;
  }
  const std::uint32_t handle = *cluster;  // one rebuilt folder: a directory at that cluster
  f->handle = handle;
  LoadExfatDirectory(ctx, handle, *f);
  f->scratch.assign(std::max<std::size_t>(ctx.volume.bytesPerSector, 512), 0);
  if (f->dir.empty()) return nullptr;
  f->pos = 0;
  f->consumed = 0;
  f->ownClusterFree = !ctx.volume.damaged && !ctx.volume.bitmap.empty() && IsExfatClusterFree(ctx.volume, handle);
  if (handle != ctx.volume.rootCluster && mode != kFindFreeCluster) {
    // The link to the parent folder comes first.
    out.entry = MakeScanEntry();
    out.entry.attributes = kAttrDirectory;
    out.entry.SetKind(EntryKind::ParentLink);
    out.entry.rating = rating::kNavigation;
    out.entry.SetFirstCluster(parent ? parent : ctx.volume.rootCluster);
    out.entry.clusterInUse = 1;
    out.entry.SetFolderCluster(handle);
    out.name = u"..";
    out.dotEntry = true;
    return f;
  }
  if (!ExfatFindNext(ctx, *f, out)) return nullptr;
  return f;
}

bool ExfatFindNext(ExfatContext& ctx, DirFind& f, FoundEntry& out) {
  ActivityMark activity(Fn::ExfatFindNext);
  if (f.list) return NextFromVirtualFolder(f, FsType::Exfat, ctx.extensions, out);
  std::size_t pos = f.pos + f.consumed;
  while (pos < f.dir.size()) {
    const SetParse r = ParseEntrySet(ctx, std::span<const std::uint8_t>(f.dir).subspan(pos), f.mode, out, f.scratch);
    if (r.end || r.consumed == 0) break;
    const std::size_t used = r.consumed;
    if (!r.valid) {  // a rejected set: go on after it
      pos += used;
      continue;
    }
    f.pos = pos;
    f.consumed = used;
    out.entry.SetFolderCluster(f.handle);
    out.entry.SetDirEntryOffset(out.entry.DirEntryOffset() + static_cast<std::uint32_t>(pos));
    // The folder itself was deleted: what it holds is unreachable, so deleted too.
    if (f.ownClusterFree && !out.entry.DeletedMark()) out.entry.SetDeletedMark(1);
    const bool folder = out.entry.attributes & kAttrDirectory;
    if (f.unfiltered || PassesFilter(out.entry, out.name, folder, f.filter)) return true;
    pos += used;
  }
  f.pos = f.dir.size();
  f.consumed = 0;
  return false;
}

std::vector<FoundEntry> ListExfatFolder(ExfatContext& ctx, EntryHandle handle, int mode, const DisplayFilter& filter,
                                        std::uint32_t parent) {
  std::vector<FoundEntry> all;
  FoundEntry e;
  auto f = ExfatFindFirst(ctx, handle, mode, filter, e, parent);
  if (!f) return all;
  do {
    all.push_back(e);
  } while (ExfatFindNext(ctx, *f, e));
  return all;
}

}  // namespace kestrova
