// OpenDevice: the raw open followed by the identification at open. Mounting the
// identified file system (reading its tables) is the mount's job on top of this.
#pragma once

#include "device/device_open.h"

#include <string>

namespace kestrova {

struct OpenedVolume {
  OpenedDevice raw;
  FsType type = FsType::None;      // detected, or the forced request
  std::uint64_t bootSectorAt = 0;  // volume-relative sector the boot sector came from
};

// Opens and identifies (mount depth 0). With a Detect request the quick tests
// and the backups decide the type and, when given, the entry's detectedFs is set.
bool OpenDevice(SectorDevice& device, const DriveTables& tables, Ui& ui, const OpenRequest& request,
                OpenedVolume& out);

// OpenDevice with the fields of a listed row. A start relative to a volume is
// made physical by adding that volume's own start.
bool OpenEntry(SectorDevice& device, const DriveTables& tables, Ui& ui, DriveEntry& entry,
               const std::string& imagePath, const std::string& volumePath, FsType request, OpenedVolume& out);

}  // namespace kestrova
