// Where the mounted volume lies on the device and how its clusters are laid out.
// The opener fills the device part, the mount the file-system part; everyone
// else reads it through SectorDevice's read-only names. It changes only while no
// worker reads, so readers take no lock for it.
#pragma once

#include "common/fs_type.h"

#include <cstdint>

namespace kestrova {

inline constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

struct VolumeGeometry {
  // --- device part (the opener) ---
  std::uint32_t sectorSize = 512;
  std::uint64_t volumeStart = 0;
  std::uint64_t volumeSectorsHint = 0;
  std::uint64_t deviceSectors = kAllOnes;
  std::uint64_t volumeLastSector = kAllOnes;

  // --- file-system part (the mount) ---
  FsType fsType = FsType::None;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t bytesPerCluster = 0;
  std::uint64_t dataStart = 0;
  // Sector of cluster 0: dataStart - 2 clusters, negative when the data area
  // starts within the first two cluster sizes (exFAT with large clusters).
  std::int64_t clusterBase = 0;
  std::uint32_t lastCluster = 0;
  std::uint32_t rootCluster = 0;     // FAT32/exFAT root directory cluster
  std::uint64_t clusterCount = 0;    // exFAT: volume length / sectors per cluster

  bool operator==(const VolumeGeometry&) const = default;
};

}  // namespace kestrova
