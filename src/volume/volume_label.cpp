#include "volume/volume_label.h"

#include "common/activity.h"

#include "common/le.h"
#include "common/text.h"
#include "fs/ntfs/ntfs_format.h"

#include <algorithm>
#include <set>
#include <vector>

namespace kestrova {

std::optional<std::u16string> FatLabelInDirectory(std::span<const std::uint8_t> dir) {
  ActivityMark activity(Fn::FatLabelInDirectory);
  for (std::size_t off = 0; off + 32 <= dir.size(); off += 32) {
    const std::uint8_t first = dir[off];
    if (first == 0x00) break;
    if (first == 0xE5) continue;
    const std::uint8_t attr = dir[off + 11];
    if (attr == 0x0F) continue;  // long-name part
    if ((attr & 0x08) && !(attr & 0x10)) return Latin1Field(dir.subspan(off, 11));
  }
  return std::nullopt;
}

namespace {

// Next cluster of a FAT32 chain (only FAT32 roots are chains); 0 when unreadable.
std::uint32_t Fat32Next(VolumeReader& reader, const FatRootGeometry& g, std::uint32_t cluster) {
  std::uint8_t e[4] = {};
  const std::uint64_t fatBytes = g.fatStartSector * g.bytesPerSector;
  if (!reader.Read(fatBytes + static_cast<std::uint64_t>(cluster) * 4, e)) return 0;
  return LoadLe32(e, 0) & 0x0FFFFFFF;
}

}  // namespace

std::optional<std::u16string> ReadFatRootLabel(VolumeReader& reader, const FatRootGeometry& g) {
  ActivityMark activity(Fn::ReadFatRootLabel);
  if (g.bytesPerSector == 0 || g.sectorsPerCluster == 0) return std::nullopt;
  if (g.rootCluster == 0) {
    // Fixed root of FAT12/16: read it whole, bounded by the largest sane size.
    const std::size_t bytes = std::min<std::size_t>(static_cast<std::size_t>(g.rootEntries) * 32, 64 * 1024);
    if (bytes == 0) return std::nullopt;
    std::vector<std::uint8_t> dir(bytes);
    if (!reader.Read(g.rootSector * g.bytesPerSector, dir)) return std::nullopt;
    return FatLabelInDirectory(dir);
  }
  const std::uint64_t clusterBytes = static_cast<std::uint64_t>(g.bytesPerSector) * g.sectorsPerCluster;
  if (clusterBytes > VolumeReader::kMaxRead) return std::nullopt;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(clusterBytes));
  std::set<std::uint32_t> seen;
  std::uint32_t c = g.rootCluster;
  for (std::uint32_t steps = 0; steps < kMaxLabelWalkClusters && c >= 2 && c < 0x0FFFFFF7; ++steps) {
    if (!seen.insert(c).second) break;  // chain loops back
    const std::uint64_t sector = g.dataStartSector + static_cast<std::uint64_t>(c - 2) * g.sectorsPerCluster;
    if (!reader.Read(sector * g.bytesPerSector, buf)) break;
    if (auto label = FatLabelInDirectory(buf)) return label;
    // Stop at the end-of-directory marker.
    bool ended = false;
    for (std::size_t off = 0; off + 32 <= buf.size(); off += 32)
      if (buf[off] == 0) {
        ended = true;
        break;
      }
    if (ended) break;
    c = Fat32Next(reader, g, c);
  }
  return std::nullopt;
}

std::optional<std::u16string> ExfatLabelInDirectory(std::span<const std::uint8_t> dir, bool& ended) {
  ActivityMark activity(Fn::ExfatLabelInDirectory);
  ended = false;
  for (std::size_t off = 0; off + 32 <= dir.size(); off += 32) {
    const std::uint8_t type = dir[off];
    if (type == 0x00) {
      ended = true;
      break;
    }
    if (type == 0x83) {
      const std::size_t chars = std::min<std::size_t>(dir[off + 1], 11);
      return Utf16LeField(dir.subspan(off + 2, 22), chars);
    }
  }
  return std::nullopt;
}

std::optional<std::u16string> ReadExfatRootLabel(VolumeReader& reader, const ExfatRootGeometry& g) {
  ActivityMark activity(Fn::ReadExfatRootLabel);
  const std::uint64_t clusterBytes = static_cast<std::uint64_t>(g.bytesPerSector) * g.sectorsPerCluster;
  if (clusterBytes == 0 || clusterBytes > VolumeReader::kMaxRead) return std::nullopt;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(clusterBytes));
  std::set<std::uint32_t> seen;
  std::uint32_t c = g.rootCluster;
  for (std::uint32_t steps = 0; steps < kMaxLabelWalkClusters && c >= 2 && c < 0xFFFFFFF7; ++steps) {
    if (g.clusterCount && c >= g.clusterCount + 2) break;
    if (!seen.insert(c).second) break;
    const std::uint64_t sector = g.heapStartSector + static_cast<std::uint64_t>(c - 2) * g.sectorsPerCluster;
    if (!reader.Read(sector * g.bytesPerSector, buf)) break;
    bool ended = false;
    if (auto label = ExfatLabelInDirectory(buf, ended)) return label;
    if (ended) break;
    std::uint8_t e[4] = {};
    if (!reader.Read(g.fatStartSector * g.bytesPerSector + static_cast<std::uint64_t>(c) * 4, e)) break;
    c = LoadLe32(e, 0);  // 0 (no chain recorded) ends the walk
  }
  return std::nullopt;
}

std::optional<std::u16string> NtfsVolumeNameInRecord(std::span<const std::uint8_t> record) {
  ActivityMark activity(Fn::NtfsVolumeNameInRecord);
  const auto header = ParseNtfsRecordHeader(record);
  if (!header) return std::nullopt;
  std::size_t off = header->firstAttribute;
  for (int guard = 0; guard < 64 && off + 16 <= record.size(); ++guard) {
    const std::uint32_t type = LoadLe32(record, off);
    const std::uint32_t length = LoadLe32(record, off + 4);
    if (type == 0xFFFFFFFF || length < 16 || length > record.size() - off) break;
    if (type == 0x60 && record[off + 8] == 0) {  // resident only
      const std::uint32_t valueLength = LoadLe32(record, off + 16);
      const std::uint16_t valueOffset = LoadLe16(record, off + 20);
      if (valueLength > 256 || valueOffset + static_cast<std::size_t>(valueLength) > length) return std::nullopt;
      return Utf16LeField(record.subspan(off + valueOffset, valueLength), valueLength / 2);
    }
    off += length;
  }
  return std::nullopt;
}

}  // namespace kestrova
