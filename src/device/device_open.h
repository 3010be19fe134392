// Opening a physical drive, a system volume or an image file as the sector
// device, sized from the system, with its first sector read. Everything is
// opened read-only: only a partition repair ever asks for a writable handle.
#pragma once

#include "common/fs_type.h"
#include "common/ui.h"
#include "device/drive_entry.h"
#include "device/drive_tables.h"
#include "device/sector_device.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova {

struct OpenRequest {
  std::int32_t physicalDrive = -1;  // >= 0: that drive of the tables
  std::string volumePath;           // a system volume; stands where a drive letter would
  std::string imagePath;            // non-empty: an image file
  std::uint64_t start = 0;          // partition start (sectors)
  std::uint64_t count = 0;          // partition sector count; 0 = unknown
  bool showErrors = true;
  DriveEntry* entry = nullptr;      // the row being opened, may be null
  FsType request = FsType::Detect;  // a type to force, or Detect
};

struct OpenedDevice {
  std::vector<std::uint8_t> bootSector;      // first sector of the volume, for the mount
  std::vector<std::uint8_t> bootSectorCopy;  // the same, left untouched
  bool bootSectorRead = false;
};

// Image files the program refuses: virtual-machine disks (".vmdk", any case).
bool IsRefusedImage(const std::string& path);

// Opens the device of the request and sizes it. Shows the failure messages
// through ui; physical drives fail silently (the list probes them).
bool OpenRaw(SectorDevice& device, const DriveTables& tables, Ui& ui, const OpenRequest& request, OpenedDevice& out);

}  // namespace kestrova
