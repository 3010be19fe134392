#include "fs/fat/fat_volume.h"

#include "common/activity.h"
#include "common/le.h"
#include "fs/fat/fat_dir.h"
#include "fs/fat/fat_format.h"

#include <algorithm>
#include <set>
#include <unordered_set>

namespace kestrova {
namespace {

constexpr std::uint64_t kReadChunkSectors = 2048;  // FAT copies are read 1 MiB at a time

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return b ? (a + b - 1) / b : 0; }

bool ReadFat(SectorDevice& d, FatVolume& v) {
  // Only as much as the clusters need: a hostile sectors-per-FAT cannot make
  // the copy larger than the volume's own clusters.
  const std::uint64_t entries = std::uint64_t{v.lastCluster} + 1;
  std::uint64_t needed = v.type == FsType::Fat32 ? entries * 4 : v.type == FsType::Fat16 ? entries * 2 : entries * 3 / 2 + 2;
  needed = std::min<std::uint64_t>(needed, std::uint64_t{v.sectorsPerFat} * v.bytesPerSector);
  const std::uint64_t sectors = CeilDiv(needed, v.bytesPerSector);
  if (sectors == 0) return false;
  try {
    v.fat.assign(static_cast<std::size_t>(sectors * v.bytesPerSector), 0);
  } catch (const std::bad_alloc&) {
    v.fat.clear();
    return false;
  }
  for (std::uint64_t at = 0; at < sectors; at += kReadChunkSectors) {
    const auto n = static_cast<std::uint32_t>(std::min(kReadChunkSectors, sectors - at));
    // A failed piece stays zero: its clusters read as free, which only widens the search.
    d.ReadSectors(v.fatStart + at, std::span(v.fat).subspan(static_cast<std::size_t>(at * v.bytesPerSector),
                                                             std::size_t{n} * v.bytesPerSector),
                  n);
  }
  v.fatBytes = v.fat.size();
  v.fatEntries = v.type == FsType::Fat32 ? v.fatBytes / 4 : v.type == FsType::Fat16 ? v.fatBytes / 2 : v.fatBytes * 2 / 3;
  return true;
}

void FinishGeometry(SectorDevice& d, FatVolume& v) {
  VolumeGeometry& g = d.GeometryForMount();  // part of the mount
  g.dataStart = v.dataStart;
  g.clusterBase = static_cast<std::int64_t>(v.dataStart) - 2 * static_cast<std::int64_t>(v.sectorsPerCluster);
  g.lastCluster = v.lastCluster;
  g.sectorsPerCluster = v.sectorsPerCluster;
  g.bytesPerCluster = v.bytesPerCluster;
  g.rootCluster = v.rootCluster;
  g.fsType = v.type;
  v.map.Create(v.lastCluster);
}

}  // namespace

std::uint32_t FatVolume::RawEntry(std::uint64_t c) const {
  switch (type) {
    case FsType::Fat12: {
      const std::uint64_t at = c * 3 / 2;
      if (at + 1 >= fat.size()) return kFatNotFat;
      const std::uint32_t word = fat[at] | fat[at + 1] << 8;
      return (c & 1) ? word >> 4 : word & 0x0FFF;
    }
    case FsType::Fat16:
      if (c * 2 + 1 >= fat.size()) return kFatNotFat;
      return fat[c * 2] | fat[c * 2 + 1] << 8;
    case FsType::Fat32:
      if (c * 4 + 3 >= fat.size()) return kFatNotFat;
      // The top four bits are reserved.
      return LoadLe32(fat, static_cast<std::size_t>(c * 4)) & 0x0FFFFFFF;
    default: return kFatNotFat;
  }
}

bool MountFatGeometry(SectorDevice& d, const MountedVolume& m, bool loadTable, bool damaged, FatVolume& v) {
  ActivityMark activity(Fn::MountFatGeometry);
  v = FatVolume{};
  if (!IsFatFamily(d.fsType)) return false;
  v.type = d.fsType;
  v.bytesPerSector = d.sectorSize ? d.sectorSize : 512;
  v.sectorsPerCluster = std::max<std::uint32_t>(1, d.sectorsPerCluster);
  v.bytesPerCluster = v.sectorsPerCluster * v.bytesPerSector;
  v.fatStart = m.fatStart;
  v.sectorsPerFat = m.sectorsPerFat;
  v.rootDirSector = m.rootDirSector;
  v.rootCluster = v.type == FsType::Fat32 ? d.rootCluster : kFixedRootHandle;
  v.dataStart = d.dataStart;
  v.lastCluster = d.lastCluster;
  v.totalSectors = m.totalSectors;
  v.damaged = damaged;
  v.map.Create(v.lastCluster);
  if (loadTable && !damaged && ReadFat(d, v)) {
    if (v.type == FsType::Fat16) {
      for (std::uint64_t c = 2; c <= v.lastCluster; ++c)
        if (v.RawEntry(c) != 0 && v.RawEntry(c) != kFatNotFat) v.map.Mark(c, cluster_mark::kAllocated);
    }
    CountFreeClusters(v);
  }
  return true;
}

std::uint32_t NextCluster(const FatVolume& v, std::uint32_t c) {
  if (!v.IsFat()) return kFatNotFat;
  if (c > v.lastCluster) return kFatEndOfChain;
  if (v.fat.empty()) return c + 1;
  const std::uint32_t e = v.RawEntry(c);
  if (e == kFatNotFat) return kFatEndOfChain;
  if (v.type == FsType::Fat12) return e >= 0xFF8 ? kFatEndOfChain : e;
  if (v.type == FsType::Fat16) return e > 0xFFF7 ? kFatEndOfChain : e;
  return e;
}

bool IsClusterFree(const FatVolume& v, std::uint32_t c) {
  if (v.damaged) return true;
  if (c > v.lastCluster) return false;
  const std::uint32_t e = v.RawEntry(c);
  return e == 0;
}

std::uint64_t ChainBytes(const FatVolume& v, std::uint32_t first) {
  std::unordered_set<std::uint32_t> seen;
  std::uint64_t bytes = 0;
  for (std::uint32_t c = first; c < kFatChainEnd;) {
    if (c == 0) return 0;
    if (!seen.insert(c).second) break;  // a loop ends the chain
    bytes += v.bytesPerCluster;
    c = NextCluster(v, c);
  }
  return bytes + 512;
}

std::uint32_t ContiguousRun(const FatVolume& v, std::uint32_t c, std::uint64_t byteLimit) {
  std::uint32_t n = 0;
  while (std::uint64_t{n + 1} * v.bytesPerCluster <= byteLimit) {
    ++n;
    if (NextCluster(v, c) != c + 1) break;
    ++c;
  }
  return n;
}

bool ReadSectorsKeeping(SectorDevice& d, std::uint64_t sector, std::span<std::uint8_t> out, std::uint32_t count,
                        UnreadableRanges* unreadable, std::size_t base) {
  std::vector<std::uint64_t> bad;
  if (d.ReadSectors(sector, out, count, bad) == ReadOk) return true;
  // The device already retried the run sector by sector and kept what read: only
  // the sectors it names are lost (all of them when it could name none). A second
  // pass would read each bad sector again, slow on a failing drive and reported twice.
  std::set<std::uint64_t> lost;
  for (const std::uint64_t absolute : bad)
    if (absolute >= d.volumeStart) lost.insert(absolute - d.volumeStart);
  const std::size_t ss = d.sectorSize;
  for (std::uint32_t i = 0; i < count && (i + 1) * ss <= out.size(); ++i) {
    const auto one = out.subspan(i * ss, ss);
    if (!bad.empty() && !lost.count(sector + i)) continue;
    std::fill(one.begin(), one.end(), std::uint8_t{0});
    if (!unreadable) continue;
    const std::size_t from = base + i * ss;
    if (!unreadable->empty() && unreadable->back().second == from)
      unreadable->back().second = from + ss;
    else
      unreadable->emplace_back(from, from + ss);
  }
  return false;
}

std::optional<std::uint64_t> ReadFatChain(SectorDevice& d, const FatVolume& v, std::uint32_t first,
                                          std::span<std::uint8_t> out, std::uint64_t length,
                                          UnreadableRanges* unreadable) {
  const std::uint64_t chain = ChainBytes(v, first);
  if (length == 0) length = chain;
  if (chain < length || out.size() < length) return std::nullopt;
  const std::uint64_t unit = std::max<std::uint64_t>(d.buffers.transferUnit(), v.bytesPerCluster);
  const std::uint32_t spc = std::max<std::uint32_t>(1, d.sectorsPerCluster);
  std::vector<std::uint8_t> scratch;
  std::uint64_t done = 0;
  std::unordered_set<std::uint32_t> seen;
  std::uint32_t c = first;
  // An unreadable sector does not end the chain: it reads as zeros (and is
  // listed) and the clusters after it are still read.
  while (done < length && c >= 2 && c < kFatChainEnd && c <= v.lastCluster && seen.insert(c).second) {
    const std::uint64_t left = length - done;
    const std::uint32_t run = ContiguousRun(v, c, std::min(left, unit));
    if (run == 0) {
      // Less than a cluster left: through a cluster buffer, copying what is wanted.
      scratch.assign(v.bytesPerCluster, 0);
      UnreadableRanges part;
      ReadSectorsKeeping(d, d.ClusterSector(c), scratch, spc, unreadable ? &part : nullptr, static_cast<std::size_t>(done));
      std::copy_n(scratch.begin(), left, out.begin() + static_cast<std::ptrdiff_t>(done));
      if (unreadable)
        for (auto [from, to] : part)
          if (from < done + left) unreadable->emplace_back(from, std::min<std::size_t>(to, static_cast<std::size_t>(done + left)));
      done = length;
      break;
    }
    const std::uint64_t bytes = std::uint64_t{run} * v.bytesPerCluster;
    ReadSectorsKeeping(d, d.ClusterSector(c), out.subspan(static_cast<std::size_t>(done), static_cast<std::size_t>(bytes)),
                       run * spc, unreadable, static_cast<std::size_t>(done));
    done += bytes;
    for (std::uint32_t k = 1; k < run; ++k) seen.insert(c + k);
    c = NextCluster(v, c + run - 1);
  }
  return done;
}

std::uint64_t CountFreeClusters(FatVolume& v) {
  ActivityMark activity(Fn::CountFatFreeClusters);
  std::uint64_t free = 0;
  for (std::uint64_t c = 2; c <= v.lastCluster; ++c) {
    if (v.RawEntry(c) == 0)
      ++free;
    else
      v.map.Mark(c, cluster_mark::kAllocated);
  }
  v.freeClusters = free;
  return free;
}

bool LooksLikeFatStart(std::span<const std::uint8_t> s) {
  const std::uint32_t first = LoadLe32(s, 0);
  return first == 0x43425355 || (first >= 0x0FFFFFF0 && first <= 0x0FFFFFFE);
}

bool LocateFat16(SectorDevice& d, std::uint64_t T, FatVolume& v) {
  ActivityMark activity(Fn::LocateFat16);
  const std::uint32_t bps = d.sectorSize ? d.sectorSize : 512;
  const std::uint32_t s = std::max<std::uint32_t>(1, d.sectorsPerCluster);
  const std::uint64_t E = std::uint64_t{s} * bps / 2;
  if (T <= s + 6) return false;
  const std::uint64_t L0 = CeilDiv(T - s, E);
  if (T < 2 * L0 + 6) return false;
  std::uint64_t L = CeilDiv(T - 2 * L0 - 6, E);
  std::vector<std::uint8_t> sector(bps);
  std::uint64_t found = 0;
  for (std::uint64_t x = L + 6; x <= L + 262 && x < T; ++x) {
    if (d.ReadSectors(x, sector, 1) != ReadOk) continue;
    if (LoadLe16(sector, 0) >= 0xFFF8 && LoadLe16(sector, 4) >= 0xFFF8) {
      found = x;
      break;
    }
  }
  if (!found) return false;
  // A table longer than computed: the zero sectors after it belong to it.
  for (std::uint64_t y = found + L, steps = 0; y < T && steps < 65536; ++y, ++steps) {
    if (d.ReadSectors(y, sector, 1) != ReadOk) break;
    if (!std::all_of(sector.begin(), sector.end(), [](std::uint8_t b) { return b == 0; })) break;
    ++L;
  }
  std::uint64_t R = 6;
  if (d.ReadSectors(L + 6, sector, 1) == ReadOk && sector[0] == 0) R = 8;
  v = FatVolume{};
  v.type = FsType::Fat16;
  v.bytesPerSector = bps;
  v.sectorsPerCluster = s;
  v.bytesPerCluster = s * bps;
  v.fatStart = R + L;
  v.sectorsPerFat = static_cast<std::uint32_t>(std::min<std::uint64_t>(L, 0xFFFFFFFFu));
  v.rootDirSector = R + 2 * L;
  v.rootCluster = kFixedRootHandle;
  v.dataStart = R + 2 * L + 16384 / bps;
  if (T <= v.dataStart) return false;
  v.lastCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>((T - v.dataStart) / s + 1, 0x0FFFFFF6));
  v.totalSectors = T;
  FinishGeometry(d, v);
  if (ReadFat(d, v)) {
    for (std::uint64_t c = 2; c <= v.lastCluster; ++c)
      if (v.RawEntry(c) != 0 && v.RawEntry(c) != kFatNotFat) v.map.Mark(c, cluster_mark::kAllocated);
    CountFreeClusters(v);
  }
  return true;
}

std::uint64_t Fat32ProbeSlack(std::uint64_t estimatedLength) {
  return std::clamp<std::uint64_t>(estimatedLength / 16, 64, 4096);
}

bool LocateFat32(SectorDevice& d, std::uint64_t T, std::uint32_t forcedSpc, FatVolume& v) {
  ActivityMark activity(Fn::LocateFat32);
  const std::uint32_t bps = d.sectorSize ? d.sectorSize : 512;
  const std::uint64_t block = std::max<std::uint64_t>(1, d.buffers.transferUnit() / bps);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(block * bps));
  std::vector<std::uint8_t> probe;
  static constexpr std::uint32_t kTries[] = {128, 64, 32, 16, 8, 4, 2, 1};
  for (std::uint64_t b = 0; b < 16; ++b) {
    const std::uint64_t first = 16 + b * block;
    if (first >= T) break;
    const auto n = static_cast<std::uint32_t>(std::min(block, T - first));
    if (d.ReadSectors(first, buffer, n) != ReadOk) continue;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!LooksLikeFatStart(std::span(buffer).subspan(std::size_t{i} * bps, bps))) continue;
      const std::uint64_t S = first + i;
      std::vector<std::uint32_t> choices;
      if (forcedSpc) choices.push_back(forcedSpc);
      else choices.assign(std::begin(kTries), std::end(kTries));
      for (std::uint32_t s : choices) {
        const std::uint64_t E = std::uint64_t{s} * bps / 4;
        const std::uint64_t F = CeilDiv(T, E);
        if (T < 2 * F + S) continue;
        const std::uint64_t L = CeilDiv(T - 2 * F - S, E);
        // L leaves out the two reserved entries and the padding formatters
        // add (mkfs.vfat's table for 1-sector clusters is a sector longer,
        // others round up by more): look past the first s sectors too.
        const std::uint64_t window = std::min<std::uint64_t>(s + Fat32ProbeSlack(L), T - std::min(T, S + L));
        if (window < s) continue;
        probe.assign(static_cast<std::size_t>(window * bps), 0);
        // Unreadable sectors read as zeros: neither a table nor entries.
        ReadSectorsKeeping(d, S + L, probe, static_cast<std::uint32_t>(window));
        const auto firstTable = std::span<const std::uint8_t>(buffer).subspan(std::size_t{i} * bps, bps);
        for (std::uint32_t k = 0; k < window; ++k) {
          const auto sec = std::span<const std::uint8_t>(probe).subspan(std::size_t{k} * bps, bps);
          // Beyond the first s sectors a second table must be a copy of the
          // first one's opening sector: an interior sector of the first table
          // can begin with a value in the start range.
          const bool secondTable =
              k < s ? LooksLikeFatStart(sec) : std::equal(sec.begin(), sec.end(), firstTable.begin());
          const bool data = !secondTable && IsPlausibleEntry(sec.subspan(0, 32));
          if (!secondTable && !data) continue;
          const std::uint64_t Lp = L + k;
          v = FatVolume{};
          v.type = FsType::Fat32;
          v.bytesPerSector = bps;
          v.sectorsPerCluster = s;
          v.bytesPerCluster = s * bps;
          v.fatStart = secondTable ? S + Lp : S;
          v.sectorsPerFat = static_cast<std::uint32_t>(std::min<std::uint64_t>(Lp, 0xFFFFFFFFu));
          v.dataStart = secondTable ? S + 2 * Lp : S + Lp;
          if (T <= v.dataStart) continue;
          v.lastCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>((T - v.dataStart) / s + 1, 0x0FFFFFF6));
          v.totalSectors = T;
          v.rootCluster = 2;
          FinishGeometry(d, v);
          // The root: the first cluster whose first sector looks like a folder.
          std::vector<std::uint8_t> sector(bps);
          for (std::uint32_t c = 2; c <= 2048 && c <= v.lastCluster; ++c) {
            if (d.ReadClusterSector(c, sector) == false) continue;
            bool control = false;
            for (std::size_t j = 0; j < 128 && j < sector.size(); ++j) {
              const std::uint8_t x = sector[j];
              if (x < 0x20 && x != '\r' && x != '\n' && x != '\t') {
                control = true;
                break;
              }
            }
            const std::uint32_t entryCluster = LoadLe16(sector, 26) | std::uint32_t{LoadLe16(sector, 20)} << 16;
            if (control && !BytesEqual(sector, 0, ". ") && entryCluster <= v.lastCluster) {
              v.rootCluster = c;
              break;
            }
          }
          d.GeometryForMount().rootCluster = v.rootCluster;
          if (ReadFat(d, v)) CountFreeClusters(v);
          return true;
        }
      }
    }
  }
  return false;
}

bool CheckFat32BootCopy(SectorDevice& d, std::uint64_t sector, std::span<const std::uint8_t> boot,
                        std::uint32_t& offset) {
  const std::uint16_t reserved = ParseFatBootSector(boot).value_or(FatBootSector{}).reservedSectors;
  std::vector<std::uint8_t> s(std::max<std::size_t>(d.sectorSize, 512));
  auto fatAt = [&](std::uint64_t at) { return d.ReadSectorsAt(at, s, 1, 0) == ReadOk && LooksLikeFatStart(s); };
  if (fatAt(sector + reserved)) return false;
  for (std::uint32_t back : {2u, 6u}) {
    if (sector + reserved >= back && fatAt(sector + reserved - back)) {
      offset = back;
      return true;
    }
  }
  return false;
}

MountHooks FatReader::Hooks(const DriveSettings& settings) {
  ActivityMark activity(Fn::FatReaderHooks);
  MountHooks h;
  auto total = [](const SectorDevice& d) -> std::uint64_t {
    if (d.volumeSectorsHint) return d.volumeSectorsHint;
    if (d.volumeLastSector != kAllOnes) return d.volumeLastSector + 1;
    return d.deviceSectors != kAllOnes && d.deviceSectors > d.volumeStart ? d.deviceSectors - d.volumeStart : 0;
  };
  h.locateFat16 = [this, total](SectorDevice& d, MountedVolume&) { return LocateFat16(d, total(d), volume); };
  h.locateFat32 = [this, total, settings](SectorDevice& d, MountedVolume&) {
    return LocateFat32(d, total(d), ClusterChoiceSectors(settings.clusterChoice, d.sectorSize), volume);
  };
  h.loadTables = [this, settings](SectorDevice& d, MountedVolume& m) {
    if (!IsFatFamily(d.fsType)) return true;
    if (volume.IsFat() && volume.dataStart == d.dataStart && !volume.fat.empty()) return true;  // located: loaded
    return MountFatGeometry(d, m, true, settings.Damaged(), volume);
  };
  return h;
}

}  // namespace kestrova
