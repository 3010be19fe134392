// Volume names kept outside the boot sector: the label entry of a FAT or exFAT
// root directory and the NTFS $Volume name. Walks are bounded so a damaged
// chain can neither loop nor allocate without limit.
#pragma once

#include "volume/volume_reader.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrova {

inline constexpr std::uint32_t kMaxLabelWalkClusters = 64;

// Label entry of a FAT directory held in memory (attribute 0x08, not a long-name
// part, not deleted). Stops at the end-of-directory marker.
std::optional<std::u16string> FatLabelInDirectory(std::span<const std::uint8_t> dir);

struct FatRootGeometry {
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;
  std::uint64_t fatStartSector = 0;   // volume-relative
  std::uint64_t dataStartSector = 0;  // sector of cluster 2
  std::uint32_t rootCluster = 0;      // FAT32; 0 = fixed root
  std::uint64_t rootSector = 0;       // FAT12/16 fixed root
  std::uint32_t rootEntries = 0;      // FAT12/16
};
std::optional<std::u16string> ReadFatRootLabel(VolumeReader& reader, const FatRootGeometry& g);

// Label entry (type 0x83) of an exFAT directory held in memory.
std::optional<std::u16string> ExfatLabelInDirectory(std::span<const std::uint8_t> dir, bool& ended);

struct ExfatRootGeometry {
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;
  std::uint64_t fatStartSector = 0;
  std::uint64_t heapStartSector = 0;
  std::uint32_t rootCluster = 0;
  std::uint64_t clusterCount = 0;
};
std::optional<std::u16string> ReadExfatRootLabel(VolumeReader& reader, const ExfatRootGeometry& g);

// The volume-name attribute (0x60) of an MFT record (fixups applied), when at most 256 bytes.
std::optional<std::u16string> NtfsVolumeNameInRecord(std::span<const std::uint8_t> record);

}  // namespace kestrova
