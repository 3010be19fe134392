// The FAT12/16/32 boot sector, decoded once. Identification, the mount, the
// label reader and the FAT reader all take their numbers from here, so every
// one of them applies the same rules (which count field holds the sector count,
// which holds the table size). Includes only common/: the volume layer may use it.
#pragma once

#include "common/le.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kestrova {

// Highest cluster number each FAT width can address (the larger values mark
// bad clusters and chain ends).
inline constexpr std::uint32_t kFat12MaxCluster = 0xFF6;
inline constexpr std::uint32_t kFat16MaxCluster = 0xFFF6;
inline constexpr std::uint32_t kFat32MaxCluster = 0x0FFFFFF6;  // 28-bit entries

struct FatBootSector {
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint16_t reservedSectors = 0;
  std::uint8_t fatCount = 0;
  std::uint16_t rootEntries = 0;
  std::uint16_t totalSectors16 = 0;
  std::uint16_t sectorsPerFat16 = 0;
  std::uint32_t hiddenSectors = 0;
  std::uint32_t totalSectors32 = 0;
  // FAT12/16 extended block
  std::uint32_t serial16 = 0;
  std::array<std::uint8_t, 11> label16{};
  bool fat12String = false;  // "FAT12" at 54
  bool fat16String = false;  // "FAT16" at 54
  bool hpfsString = false;   // "HPFS" at 54 (the same block layout)
  // FAT32 extended block
  std::uint32_t sectorsPerFat32 = 0;
  std::uint32_t rootCluster = 0;
  std::uint16_t fsInfoSector = 0;
  std::uint16_t backupBootSector = 0;
  std::uint32_t serial32 = 0;
  std::array<std::uint8_t, 11> label32{};
  bool fat32String = false;  // "FAT32" at 82

  // Small volumes keep their count in the 16-bit field and 0 in the 32-bit one;
  // a non-zero 16-bit count is the count.
  std::uint64_t TotalSectors() const { return totalSectors16 != 0 ? totalSectors16 : totalSectors32; }
  // Sector and cluster sizes a real volume can have.
  bool GeometrySane() const;
  // The copy the readers use: the last one of two.
  std::uint64_t LastFatStart(std::uint32_t sectorsPerFat) const {
    return std::uint64_t{reservedSectors} + (fatCount == 2 ? sectorsPerFat : 0u);
  }
};

// Byte offsets the boot-sector checks and the backup comparison use.
inline constexpr std::size_t kFatHiddenSectorsOffset = 28;
inline constexpr std::size_t kFat32DirtyByteOffset = 65;
inline constexpr std::size_t kFat32SerialOffset = 67;
inline constexpr std::size_t kFatCompareBytes = 90;

// Nothing for a span shorter than the 90 bytes every FAT boot sector fills.
std::optional<FatBootSector> ParseFatBootSector(std::span<const std::uint8_t> sector);

}  // namespace kestrova
