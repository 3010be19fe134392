#include "fs/exfat/exfat_volume.h"

#include "common/activity.h"

#include "common/le.h"
#include "fs/exfat/exfat_format.h"

#include <algorithm>
#include <unordered_set>

namespace kestrova {
namespace {

constexpr std::uint64_t kChunkSectors = 2048;

bool ReadArea(SectorDevice& d, std::uint64_t first, std::uint64_t bytes, std::uint32_t bps, std::vector<std::uint8_t>& out) {
  const std::uint64_t sectors = (bytes + bps - 1) / bps;
  try {
    out.assign(static_cast<std::size_t>(sectors * bps), 0);
  } catch (const std::bad_alloc&) {
    out.clear();
    return false;
  }
  for (std::uint64_t at = 0; at < sectors; at += kChunkSectors) {
    const auto n = static_cast<std::uint32_t>(std::min(kChunkSectors, sectors - at));
    d.ReadSectors(first + at, std::span(out).subspan(static_cast<std::size_t>(at * bps), std::size_t{n} * bps), n);
  }
  out.resize(static_cast<std::size_t>(bytes));
  return true;
}

// The bitmap's first cluster: from the root's 0x81 entry when there is one, else cluster 2.
std::uint32_t BitmapCluster(SectorDevice& d, const ExfatVolume& v) {
  std::vector<std::uint8_t> root(v.bytesPerCluster);
  if (d.ReadClusters(v.rootCluster, root, 1) != ReadOk) return 2;
  for (std::size_t off = 0; off + 32 <= root.size(); off += 32) {
    if (root[off] == 0x00) break;
    if (root[off] == 0x81) return std::max<std::uint32_t>(2, LoadLe32(root, off + 20));
  }
  return 2;
}

void LoadTables(SectorDevice& d, ExfatVolume& v) {
  const std::uint64_t clusters = std::uint64_t{v.lastCluster} + 1;
  // The copy needs no more than the clusters' entries, whatever the boot sector claims.
  const std::uint64_t fatBytes = std::min<std::uint64_t>(std::uint64_t{v.fatLength} * v.bytesPerSector, clusters * 4);
  ReadArea(d, v.fatStart, fatBytes, v.bytesPerSector, v.fat);
  const std::uint64_t bitmapBytes = (clusters + 7) / 8;
  const std::uint32_t bitmapCluster = BitmapCluster(d, v);
  const std::uint64_t bitmapSector = v.dataStart + std::uint64_t{bitmapCluster - 2} * v.sectorsPerCluster;
  ReadArea(d, bitmapSector, bitmapBytes, v.bytesPerSector, v.bitmap);
  v.map.Create(std::uint64_t{v.lastCluster} + 1);
  // Free clusters, 64 at a time where the bitmap allows.
  std::uint64_t free = 0;
  // 64-bit: a last cluster near 2^32 cannot wrap the walk.
  for (std::uint64_t c = 2; c <= v.lastCluster;) {
    const std::uint64_t bit = c - 2;
    if (bit % 64 == 0 && bit / 8 + 8 <= v.bitmap.size() && c + 63 <= v.lastCluster) {
      const std::uint64_t word = LoadLe64(v.bitmap, static_cast<std::size_t>(bit / 8));
      if (word == 0) {
        free += 64;
        c += 64;
        continue;
      }
      if (word == ~0ull) {
        for (std::uint64_t k = 0; k < 64; ++k) v.map.Mark(c + k, cluster_mark::kAllocated);
        c += 64;
        continue;
      }
    }
    if (IsExfatClusterFree(v, static_cast<std::uint32_t>(c)))
      ++free;
    else
      v.map.Mark(c, cluster_mark::kAllocated);
    ++c;
  }
  v.freeClusters = free;
}

}  // namespace

bool MountExfatGeometry(SectorDevice& d, bool load, bool damaged, ExfatVolume& v) {
  ActivityMark activity(Fn::MountExfatGeometry);
  v = ExfatVolume{};
  if (d.fsType != FsType::Exfat || d.sectorsPerCluster == 0) return false;
  v.bytesPerSector = d.sectorSize ? d.sectorSize : 512;
  v.sectorsPerCluster = d.sectorsPerCluster;
  v.bytesPerCluster = v.sectorsPerCluster * v.bytesPerSector;
  v.dataStart = d.dataStart;
  v.lastCluster = d.lastCluster;
  v.rootCluster = d.rootCluster;
  v.damaged = damaged;
  std::vector<std::uint8_t> boot(std::max<std::size_t>(v.bytesPerSector, 512));
  if (d.ReadSectors(0, boot, 1) == ReadOk) {
    if (const auto b = ParseExfatBootSector(boot); b && b->signature) {
      v.fatCount = std::max<std::uint8_t>(1, b->fatCount);
      v.fatLength = b->fatLength;
      v.fatStart = b->ActiveFatStart();
    }
  }
  v.mounted = true;
  if (load && !damaged) LoadTables(d, v);
  else v.map.Create(std::uint64_t{v.lastCluster} + 1);
  return true;
}

std::uint32_t ExfatNextCluster(const ExfatVolume& v, std::uint32_t c) {
  if (c > v.lastCluster) return kExfatEnd;
  if (v.fat.empty()) return c + 1;
  if (std::uint64_t{c} * 4 + 4 > v.fat.size()) return kExfatEnd;
  return LoadLe32(v.fat, std::size_t{c} * 4);
}

std::uint32_t ExfatNextAssumed(const ExfatVolume& v, std::uint32_t c) {
  const std::uint32_t n = ExfatNextCluster(v, c);
  return (n == 0 || n == kExfatEnd) ? c + 1 : n;
}

bool IsExfatClusterFree(const ExfatVolume& v, std::uint32_t c) {
  if (c < 2) return false;
  if (v.damaged || v.bitmap.empty() || c > v.lastCluster) return true;
  const std::uint64_t bit = c - 2;
  if (bit / 8 >= v.bitmap.size()) return true;
  return !(v.bitmap[static_cast<std::size_t>(bit / 8)] & (1u << (bit % 8)));
}

std::uint64_t ExfatChainBytes(const ExfatVolume& v, std::uint32_t first) {
  std::unordered_set<std::uint32_t> seen;
  std::uint64_t bytes = 0;
  for (std::uint32_t c = first; c != 0 && c < kExfatChainEnd && c <= v.lastCluster && seen.insert(c).second;
       c = ExfatNextCluster(v, c))
    bytes += v.bytesPerCluster;
  return bytes;
}

bool CheckExfatRoot(SectorDevice& d, const ExfatVolume& v, std::uint32_t cluster) {
  ActivityMark activity(Fn::CheckExfatRoot);
  std::vector<std::uint8_t> s(std::max<std::size_t>(v.bytesPerSector, 512));
  if (cluster < 2 || !d.ReadClusterSector(cluster, s)) return false;
  return s[0] == 0x83 && s[32] == 0x81 && s[64] == 0x82;
}

bool CheckExfatBootCopy(SectorDevice& d, std::uint64_t sector, std::span<const std::uint8_t> boot,
                        std::uint32_t& offset) {
  const std::uint32_t fatOffset = ParseExfatBootSector(boot).value_or(ExfatBootSector{}).fatOffset;
  std::vector<std::uint8_t> s(std::max<std::size_t>(d.sectorSize, 512));
  auto fatAt = [&](std::uint64_t at) { return d.ReadSectorsAt(at, s, 1, 0) == ReadOk && LoadLe32(s, 0) == 0xFFFFFFF8; };
  if (fatAt(sector + fatOffset)) return false;
  if (sector + fatOffset >= 12 && fatAt(sector + fatOffset - 12)) {
    offset = 12;
    return true;
  }
  return false;
}

bool LocateExfat(SectorDevice& d, std::uint64_t T, std::uint32_t forcedSpc, ExfatVolume& v) {
  ActivityMark activity(Fn::LocateExfat);
  const std::uint32_t bps = d.sectorSize ? d.sectorSize : 512;
  const std::uint64_t block = (1u << 20) / bps;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(block * bps));
  static constexpr std::uint32_t kTries[] = {65536, 32768, 16384, 8192, 4096, 2048, 1024, 512, 256,
                                             128,   64,    32,    16,   8,    4,    2,    1};
  for (std::uint64_t b = 0; b < 33; ++b) {
    const std::uint64_t first = 512 + b * block;
    if (first >= T) break;
    const auto n = static_cast<std::uint32_t>(std::min(block, T - first));
    if (d.ReadSectors(first, buffer, n) != ReadOk) continue;
    for (std::uint32_t i = 0; i < n; ++i) {
      const auto sec = std::span<const std::uint8_t>(buffer).subspan(std::size_t{i} * bps, bps);
      if (LoadLe32(sec, 0) != 0xFFFFFFF8 || LoadLe32(sec, 4) != 0xFFFFFFFF) continue;
      const std::uint64_t S = first + i;
      std::vector<std::uint32_t> choices;
      if (forcedSpc) choices.push_back(forcedSpc);
      else choices.assign(std::begin(kTries), std::end(kTries));
      for (std::uint32_t s : choices) {
        const std::uint64_t U = T / 128;
        std::uint64_t L = U / 512 + (U % s == 0 ? 1 : 0);
        L += s - (L % s);
        if (T / s > L * bps / 4) continue;
        const std::uint64_t H = (S + L + 2047) / 2048 * 2048;
        if (H >= T) continue;
        const std::uint64_t bpc = std::uint64_t{s} * bps;
        const std::uint64_t B = ((T / s + 7) / 8 + bpc - 1) / bpc;
        ExfatVolume probe;
        probe.bytesPerSector = bps;
        probe.sectorsPerCluster = s;
        probe.bytesPerCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>(bpc, 0xFFFFFFFFu));
        probe.dataStart = H;
        probe.lastCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>((T - H) / s + 1, 0xFFFFFFF6u));
        probe.rootCluster = static_cast<std::uint32_t>(B + 3);
        VolumeGeometry& g = d.GeometryForMount();  // the mount's probe sets the cluster layout it tests
        g.sectorsPerCluster = s;
        g.dataStart = H;
        g.clusterBase = static_cast<std::int64_t>(H) - 2 * static_cast<std::int64_t>(s);
        if (!CheckExfatRoot(d, probe, probe.rootCluster)) continue;
        v = probe;
        v.fatStart = S;
        v.fatLength = static_cast<std::uint32_t>(std::min<std::uint64_t>(L, 0xFFFFFFFFu));
        v.mounted = true;
        g.fsType = FsType::Exfat;
        g.bytesPerCluster = v.bytesPerCluster;
        g.lastCluster = v.lastCluster;
        g.rootCluster = v.rootCluster;
        g.clusterCount = v.lastCluster - 1;
        LoadTables(d, v);
        return true;
      }
    }
  }
  return false;
}

MountHooks ExfatReader::Hooks(const DriveSettings& settings) {
  ActivityMark activity(Fn::ExfatReaderHooks);
  MountHooks h;
  h.locateExfat = [this, settings](SectorDevice& d, MountedVolume&) {
    const std::uint64_t total = d.volumeSectorsHint     ? d.volumeSectorsHint
                                : d.volumeLastSector != kAllOnes ? d.volumeLastSector + 1
                                                                 : d.deviceSectors - d.volumeStart;
    return LocateExfat(d, total, ClusterChoiceSectors(settings.clusterChoice, d.sectorSize), volume);
  };
  h.loadTables = [this, settings](SectorDevice& d, MountedVolume&) {
    if (d.fsType != FsType::Exfat) return true;
    if (volume.mounted && volume.dataStart == d.dataStart && !volume.fat.empty()) return true;  // located
    return MountExfatGeometry(d, true, settings.Damaged(), volume);
  };
  return h;
}

}  // namespace kestrova
