// The NTFS boot sector and FILE record header, decoded once, with the one rule
// for the record size and the one update-sequence (fixup) routine. Used by
// identification, the mount, the label reader and the NTFS reader. Includes only
// common/: the volume layer may use it.
#pragma once

#include "common/le.h"

#include <cstdint>
#include <optional>
#include <span>

namespace kestrova {

// Records are read as this size when the boot sector gives none a volume can have.
inline constexpr std::uint32_t kNtfsFallbackRecordSize = 1024;
inline constexpr std::uint32_t kNtfsMaxRecordSize = 65536;
// Cluster numbers beyond this are not on any disk: the field is garbage.
inline constexpr std::uint64_t kNtfsMaxClusterNumber = 1ull << 48;
// The update sequence protects every 512 bytes whatever the sector size.
inline constexpr std::uint32_t kNtfsFixupStride = 512;

struct NtfsBootSector {
  bool signature = false;       // "NTFS" at 3
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerClusterRaw = 0;
  std::uint32_t mediaWord = 0;  // 0x00800080 on every volume a driver writes
  std::uint64_t totalSectors = 0;
  std::uint64_t mftCluster = 0;
  std::uint64_t mirrorCluster = 0;
  std::int8_t recordSizeRaw = 0;
  std::uint64_t serial = 0;

  bool MediaWordValid() const { return mediaWord == 0x00800080; }
  // Clusters above 64 KiB are stored as a negative power of two; 0 or an
  // absurd shift reads as one sector.
  std::uint32_t SectorsPerCluster() const;
  // The record size, or 0 when the boot sector gives none a volume can have.
  std::uint32_t RecordSize() const;
};

// Bytes the backup comparison covers.
inline constexpr std::size_t kNtfsCompareBytes = 84;

std::optional<NtfsBootSector> ParseNtfsBootSector(std::span<const std::uint8_t> sector);

// The one record-size rule: a negative value is a power of two in bytes, a
// positive one a count of clusters. 0 when the result is below a sector or
// above 64 KiB (the volume's records are then read as kNtfsFallbackRecordSize).
std::uint32_t NtfsRecordSize(std::int8_t raw, std::uint32_t sectorsPerCluster, std::uint32_t bytesPerSector);

struct NtfsRecordHeader {
  std::uint16_t updateOffset = 0;
  std::uint16_t updateCount = 0;
  std::uint64_t logSequence = 0;
  std::uint16_t sequence = 0;
  std::uint16_t linkCount = 0;
  std::uint16_t firstAttribute = 0;
  std::uint16_t flags = 0;
  std::uint32_t bytesInUse = 0;
  std::uint32_t bytesAllocated = 0;
  std::uint64_t baseRecord = 0;  // of an extension record: the record it belongs to (48 bits)
  std::uint32_t number = 0;
  bool inUse() const { return flags & 1; }
};

// Nothing unless the span holds a whole header that starts with "FILE".
std::optional<NtfsRecordHeader> ParseNtfsRecordHeader(std::span<const std::uint8_t> record);

struct FixupResult {
  bool applied = false;  // the update sequence lies inside the record and was written back
  bool intact = false;   // every protected word held the check value: no torn write
};

// The one update-sequence routine: restores the last two bytes of every 512
// covered by the record. A count outside what the record can hold is replaced
// by the record's own stride count (drivers never write another), cut where the
// array ends; such a record is never reported intact.
FixupResult ApplyNtfsRecordFixups(std::span<std::uint8_t> record);

}  // namespace kestrova
