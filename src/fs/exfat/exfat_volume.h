// A mounted exFAT volume: its FAT copy, the allocation bitmap, chains that
// assume contiguous clusters where the FAT says nothing, and the table search
// for a volume forced to exFAT whose boot sector is unusable.
#pragma once

#include "device/sector_device.h"
#include "scan/allocation_map.h"
#include "volume/mount.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kestrova {

inline constexpr std::uint32_t kExfatEnd = 0xFFFFFFFF;
inline constexpr std::uint32_t kExfatChainEnd = 0xFFFFFFF8;

struct ExfatVolume {
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;
  std::uint32_t bytesPerCluster = 512;
  std::uint64_t fatStart = 0;   // of the copy read
  std::uint32_t fatLength = 0;  // sectors
  std::uint8_t fatCount = 1;
  std::vector<std::uint8_t> fat;
  std::uint32_t rootCluster = 0;
  std::uint64_t dataStart = 0;
  std::uint32_t lastCluster = 0;
  std::vector<std::uint8_t> bitmap;  // bit n: cluster n + 2
  std::uint64_t freeClusters = 0;
  AllocationMap map;
  bool damaged = false;
  bool mounted = false;

  std::uint64_t RootSector() const { return dataStart + std::uint64_t{rootCluster - 2} * sectorsPerCluster; }
};

// From the mounted device: geometry, and with `load` the FAT copy, the bitmap,
// the cluster map and the free count.
bool MountExfatGeometry(SectorDevice& device, bool load, bool damaged, ExfatVolume& volume);

// The FAT entry; cluster + 1 without a FAT copy; kExfatEnd above the highest.
std::uint32_t ExfatNextCluster(const ExfatVolume& v, std::uint32_t cluster);
// The FAT entry, but cluster + 1 where it is 0 or kExfatEnd (contiguous allocation).
std::uint32_t ExfatNextAssumed(const ExfatVolume& v, std::uint32_t cluster);
bool IsExfatClusterFree(const ExfatVolume& v, std::uint32_t cluster);
// Bytes of the chain; it stops at 0, kExfatEnd or a value from kExfatChainEnd on.
std::uint64_t ExfatChainBytes(const ExfatVolume& v, std::uint32_t first);

// Entries 0..2 of the cluster's first sector are label, bitmap and up-case.
bool CheckExfatRoot(SectorDevice& device, const ExfatVolume& v, std::uint32_t cluster);
// For a sector carrying "EXFAT": the backup boot sector 12 sectors into its volume?
bool CheckExfatBootCopy(SectorDevice& device, std::uint64_t sector, std::span<const std::uint8_t> boot,
                        std::uint32_t& offset);
// The table search when exFAT is forced; sets the geometry on success.
bool LocateExfat(SectorDevice& device, std::uint64_t totalSectors, std::uint32_t forcedSectorsPerCluster,
                 ExfatVolume& volume);

class ExfatReader {
 public:
  ExfatVolume volume;
  MountHooks Hooks(const DriveSettings& settings);
};

}  // namespace kestrova
