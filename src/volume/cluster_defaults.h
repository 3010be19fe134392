// Sectors per cluster assumed when a volume's own boot sector cannot be
// trusted: the defaults the formatting tools use for a volume of that size.
#pragma once

#include "common/fs_type.h"

#include <array>
#include <cstdint>

namespace kestrova {

// Default sectors per cluster of a type for a volume of `sectors` sectors of
// `sectorSize` bytes. The size limits are byte sizes (stated for 512-byte
// sectors), so other sector sizes give the same cluster size in bytes.
std::uint32_t DefaultSectorsPerCluster(FsType type, std::uint64_t sectors, std::uint32_t sectorSize);

// The four defaults the partition search tries: NTFS, FAT32, FAT16, FAT12.
struct ClusterDefaults {
  std::uint32_t ntfs, fat32, fat16, fat12;
};
ClusterDefaults ClusterDefaultsFor(std::uint64_t sectors, std::uint32_t sectorSize);

}  // namespace kestrova
