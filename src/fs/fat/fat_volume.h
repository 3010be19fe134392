// A mounted FAT12/16/32 volume: its table copy, cluster chains, free space and
// cluster map. The mount fills the common geometry of the SectorDevice; this
// holds the FAT-specific rest and answers every question about clusters.
#pragma once

#include "common/fs_type.h"
#include "device/sector_device.h"
#include "scan/allocation_map.h"
#include "volume/mount.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace kestrova {

inline constexpr std::uint32_t kFatEndOfChain = 0x0FFFFFFF;
inline constexpr std::uint32_t kFatChainEnd = 0x0FFFFFF8;  // values from here on end a chain
inline constexpr std::uint32_t kFatNotFat = 0xFFFFFFFF;
inline constexpr std::uint32_t kFixedRootHandle = 1;       // FAT12/16 root area
// Directories are never this large on a sane volume; a hostile chain cannot
// make the reader allocate more.
inline constexpr std::uint64_t kMaxDirectoryBytes = 8u << 20;

struct FatVolume {
  FsType type = FsType::None;
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;
  std::uint32_t bytesPerCluster = 512;
  std::uint64_t fatStart = 0;  // of the copy read
  std::uint32_t sectorsPerFat = 0;
  std::uint64_t fatBytes = 0;
  std::uint64_t fatEntries = 0;
  std::uint64_t rootDirSector = 0;  // FAT12/16
  std::uint32_t rootCluster = kFixedRootHandle;
  std::uint64_t dataStart = 0;
  std::uint32_t lastCluster = 0;  // the highest cluster number
  std::uint64_t totalSectors = 0;
  std::vector<std::uint8_t> fat;  // the table copy; empty when not loaded
  std::uint64_t freeClusters = 0;
  AllocationMap map;
  bool damaged = false;  // drive settings: every cluster counts as free

  bool IsFat() const { return type == FsType::Fat12 || type == FsType::Fat16 || type == FsType::Fat32; }
  std::uint32_t RawEntry(std::uint64_t cluster) const;  // kFatNotFat beyond the table
};

// Fills the volume from the mounted device (geometry of the mount) and, when
// loadTable is set and the volume is not damaged, reads the FAT copy, marks
// FAT16 allocations and counts the free clusters.
bool MountFatGeometry(SectorDevice& device, const MountedVolume& mounted, bool loadTable, bool damaged,
                      FatVolume& volume);

std::uint32_t NextCluster(const FatVolume& v, std::uint32_t cluster);
bool IsClusterFree(const FatVolume& v, std::uint32_t cluster);
// Bytes of the chain + 512; 0 when it reaches a free entry; a loop ends it.
std::uint64_t ChainBytes(const FatVolume& v, std::uint32_t first);
// Consecutive clusters from `cluster` whose bytes stay within `byteLimit`.
std::uint32_t ContiguousRun(const FatVolume& v, std::uint32_t cluster, std::uint64_t byteLimit);
// Byte ranges [from, to) of a buffer whose sectors could not be read: zeros
// that stand for nothing (a listing skips them rather than ending there).
using UnreadableRanges = std::vector<std::pair<std::size_t, std::size_t>>;

// Reads `count` sectors into `out`. When the read fails, sector by sector:
// what reads is kept, an unreadable sector reads as zeros and its range
// (offset in `out` plus `base`) is added to `unreadable` when given.
// False when any sector could not be read.
bool ReadSectorsKeeping(SectorDevice& device, std::uint64_t sector, std::span<std::uint8_t> out, std::uint32_t count,
                        UnreadableRanges* unreadable = nullptr, std::size_t base = 0);

// Reads `length` bytes of the chain (0: the whole chain as ChainBytes measures
// it) into out, which must hold them. Returns the bytes read, or nothing when
// the chain is shorter than asked. Unreadable sectors read as zeros and are
// listed in `unreadable` when given; the rest of the chain is still read.
std::optional<std::uint64_t> ReadFatChain(SectorDevice& device, const FatVolume& v, std::uint32_t first,
                                          std::span<std::uint8_t> out, std::uint64_t length,
                                          UnreadableRanges* unreadable = nullptr);
// Free clusters from 2 to the highest; marks every other cluster 1 in the map.
std::uint64_t CountFreeClusters(FatVolume& v);

// The searches for a table when FAT16/FAT32 is forced and the boot sector is
// unusable. On success the device geometry and the volume are set.
bool LocateFat16(SectorDevice& device, std::uint64_t totalSectors, FatVolume& v);
bool LocateFat32(SectorDevice& device, std::uint64_t totalSectors, std::uint32_t forcedSectorsPerCluster, FatVolume& v);
// Sectors past the first cluster's worth that LocateFat32 examines after the
// estimated end of the first table (the estimate runs short of real tables).
std::uint64_t Fat32ProbeSlack(std::uint64_t estimatedLength);

// A sector that begins a FAT: first entry of a FAT32 table or "USBC".
bool LooksLikeFatStart(std::span<const std::uint8_t> sector);
// For a sector carrying "FAT32": a backup copy 2 or 6 sectors into its volume?
bool CheckFat32BootCopy(SectorDevice& device, std::uint64_t sector, std::span<const std::uint8_t> boot,
                        std::uint32_t& offset);

// A reader object that owns the volume and gives the mount its hooks.
class FatReader {
 public:
  FatVolume volume;
  // Structure searches and table loading for MountVolume.
  MountHooks Hooks(const DriveSettings& settings);
};

}  // namespace kestrova
