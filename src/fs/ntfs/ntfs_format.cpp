#include "fs/ntfs/ntfs_format.h"

#include <algorithm>

namespace kestrova {

std::uint32_t NtfsBootSector::SectorsPerCluster() const {
  std::uint32_t spc = sectorsPerClusterRaw;
  if (spc > 0x80) spc = (256 - spc) <= 20 ? 1u << (256 - spc) : 1;
  return spc == 0 ? 1 : spc;
}

std::uint32_t NtfsBootSector::RecordSize() const {
  return NtfsRecordSize(recordSizeRaw, SectorsPerCluster(), bytesPerSector);
}

std::optional<NtfsBootSector> ParseNtfsBootSector(std::span<const std::uint8_t> b) {
  if (b.size() < 80) return std::nullopt;
  NtfsBootSector s;
  s.signature = BytesEqual(b, 3, "NTFS");
  s.bytesPerSector = LoadLe16(b, 0x0B);
  s.sectorsPerClusterRaw = LoadU8(b, 0x0D);
  s.mediaWord = LoadLe32(b, 0x24);
  s.totalSectors = LoadLe64(b, 0x28);
  s.mftCluster = LoadLe64(b, 0x30);
  s.mirrorCluster = LoadLe64(b, 0x38);
  s.recordSizeRaw = static_cast<std::int8_t>(LoadU8(b, 0x40));
  s.serial = LoadLe64(b, 0x48);
  return s;
}

std::uint32_t NtfsRecordSize(std::int8_t raw, std::uint32_t sectorsPerCluster, std::uint32_t bytesPerSector) {
  std::uint64_t size = 0;
  if (raw < 0) {
    const int shift = -static_cast<int>(raw);
    if (shift > 16) return 0;
    size = 1ull << shift;
  } else {
    size = static_cast<std::uint64_t>(raw) * sectorsPerCluster * bytesPerSector;
  }
  const std::uint64_t floor = std::max<std::uint64_t>(256, std::min<std::uint64_t>(bytesPerSector, 4096));
  if (size < floor || size > kNtfsMaxRecordSize) return 0;
  return static_cast<std::uint32_t>(size);
}

std::optional<NtfsRecordHeader> ParseNtfsRecordHeader(std::span<const std::uint8_t> r) {
  if (r.size() < 0x30 || !BytesEqual(r, 0, "FILE")) return std::nullopt;
  NtfsRecordHeader h;
  h.updateOffset = LoadLe16(r, 0x04);
  h.updateCount = LoadLe16(r, 0x06);
  h.logSequence = LoadLe64(r, 0x08);
  h.sequence = LoadLe16(r, 0x10);
  h.linkCount = LoadLe16(r, 0x12);
  h.firstAttribute = LoadLe16(r, 0x14);
  h.flags = LoadLe16(r, 0x16);
  h.bytesInUse = LoadLe32(r, 0x18);
  h.bytesAllocated = LoadLe32(r, 0x1C);
  h.baseRecord = LoadLe64(r, 0x20) & 0xFFFFFFFFFFFFull;  // the record number; the sequence is not kept
  h.number = LoadLe32(r, 0x2C);
  return h;
}

FixupResult ApplyNtfsRecordFixups(std::span<std::uint8_t> r) {
  FixupResult out;
  if (r.size() < 8) return out;
  const std::size_t offset = LoadLe16(r, 4);
  const std::size_t stated = LoadLe16(r, 6);
  if (offset >= r.size()) return out;
  const std::size_t strides = r.size() / kNtfsFixupStride;
  std::size_t count = stated >= 1 && stated <= strides + 1 ? stated : strides + 1;
  // The array cannot run past the record.
  count = std::min(count, (r.size() - offset) / 2);
  const std::uint16_t check = LoadLe16(r, offset);
  bool intact = count == stated && count >= 2;
  for (std::size_t i = 1; i < count; ++i) {
    const std::size_t end = i * kNtfsFixupStride - 2;
    if (end + 2 > r.size()) break;
    if (LoadLe16(r, end) != check) intact = false;
    r[end] = r[offset + 2 * i];
    r[end + 1] = r[offset + 2 * i + 1];
  }
  out.applied = true;
  out.intact = intact;
  return out;
}

}  // namespace kestrova
