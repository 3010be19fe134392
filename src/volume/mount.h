// Mounting: setting the SectorDevice geometry of the volume just opened for its
// file system, honouring the advanced drive settings, with the fallbacks used
// when a boot sector is damaged. The file-system readers plug in the structure
// searches for overridden types and the loading of their tables.
#pragma once

#include "common/ui.h"
#include "device/drive_entry.h"
#include "device/sector_device.h"
#include "fs/ntfs/ntfs_format.h"  // the record-size rule, with the boot sector
#include "volume/open_volume.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace kestrova {

// What the mount learned beyond the device's own geometry fields.
struct MountedVolume {
  FsType type = FsType::None;
  bool damaged = false;             // structures not trusted: the scan finds records and files itself
  int depth = 0;                    // 1: the readers load their tables
  std::uint64_t totalSectors = 0;   // as the geometry used it; kAllOnes when unbounded
  std::uint64_t bootSectorAt = 0;   // volume-relative sector the boot sector came from
  std::vector<std::uint8_t> bootSector;
  // FAT
  std::uint8_t fatCount = 0;
  std::uint32_t firstFatStart = 0;  // reserved sectors
  std::uint32_t fatStart = 0;       // the copy used: the last one
  std::uint32_t sectorsPerFat = 0;
  std::uint32_t rootDirSector = 0;  // FAT12/16 fixed root
  std::uint32_t rootEntries = 0;
  // NTFS
  std::uint32_t mftRecordSize = 0;
  std::uint64_t mftStartSector = 0;
  std::uint64_t mftMirrorSector = 0;
  bool mftUsable = false;           // record 0 names "$MFT"
};

// Supplied by the file-system readers; an empty function means "not found" /
// nothing to load.
struct MountHooks {
  // Structure searches for a type chosen in the drive settings or forced: on
  // success they set the device geometry and return true.
  std::function<bool(SectorDevice&, MountedVolume&)> locateFat16;
  std::function<bool(SectorDevice&, MountedVolume&)> locateFat32;
  std::function<bool(SectorDevice&, MountedVolume&)> locateExfat;
  // Mount depth 1: read the FAT or the allocation bitmap. False fails the mount.
  std::function<bool(SectorDevice&, MountedVolume&)> loadTables;
};

struct MountRequest {
  FsType request = FsType::Detect;  // a type to force, or Detect (then the settings apply)
  int depth = 0;
  DriveSettings settings;
  std::uint64_t partitionCount = 0;  // the partition's own sector count; 0 unknown
  const MountHooks* hooks = nullptr;
};

// Sets fsType and the geometry of `device` for the volume that `opened`
// describes (OpenDevice's result). False when a forced type cannot be found
// (the device is then closed) or the readers fail to load their tables.
bool MountVolume(SectorDevice& device, Ui& ui, const MountRequest& request, const OpenedVolume& opened,
                 MountedVolume& out);

// Opens a listed entry (OpenEntry) and mounts it with the row's drive
// settings: the whole of "open a volume for scanning". The partition's own
// count bounds the volume unless the row is a whole drive.
bool OpenAndMountEntry(SectorDevice& device, const DriveTables& tables, Ui& ui, DriveEntry& entry,
                       const std::string& imagePath, const std::string& volumePath, const MountRequest& request,
                       OpenedVolume& opened, MountedVolume& mounted);

// FAT32 boot sectors tried, in order, when the one in use has no cluster or sector size.
inline constexpr std::uint64_t kFat32BootFallbacks[] = {6, 2, 16};

}  // namespace kestrova
