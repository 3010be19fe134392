// The exFAT boot sector, decoded once for identification, the mount, the label
// reader and the exFAT reader. Includes only common/: the volume layer may use it.
#pragma once

#include "common/le.h"

#include <cstdint>
#include <optional>
#include <span>

namespace kestrova {

// Cluster numbers from 0xFFFFFFF7 up are markers; the heap holds at most this many.
inline constexpr std::uint32_t kExfatMaxClusterCount = 0xFFFFFFF5;

struct ExfatBootSector {
  bool signature = false;  // "EXFAT" at 3
  std::uint64_t volumeLength = 0;  // sectors
  std::uint32_t fatOffset = 0;
  std::uint32_t fatLength = 0;
  std::uint32_t heapOffset = 0;
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t serial = 0;
  std::uint8_t bytesPerSectorShift = 0;
  std::uint8_t sectorsPerClusterShift = 0;
  std::uint8_t fatCount = 0;

  // Sector sizes 512..4096 and clusters of at most 32 MiB.
  bool GeometrySane() const {
    return bytesPerSectorShift >= 9 && bytesPerSectorShift <= 12 && bytesPerSectorShift + sectorsPerClusterShift <= 25;
  }
  std::uint32_t BytesPerSector() const { return bytesPerSectorShift < 32 ? 1u << bytesPerSectorShift : 0; }
  // An absurd shift is held at the largest cluster any volume uses.
  std::uint32_t SectorsPerCluster() const { return 1u << (sectorsPerClusterShift < 25 ? sectorsPerClusterShift : 25); }
  // The table copy the readers use: the second of two.
  std::uint64_t ActiveFatStart() const { return std::uint64_t{fatOffset} + (fatCount == 2 ? fatLength : 0u); }
};

// Bytes the backup comparison covers (the jump, name and geometry fields).
inline constexpr std::size_t kExfatCompareBytes = 90;

// Nothing for a span shorter than the fields.
std::optional<ExfatBootSector> ParseExfatBootSector(std::span<const std::uint8_t> sector);

}  // namespace kestrova
