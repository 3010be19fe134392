#include "volume/open_volume.h"
#include "common/activity.h"

#include "volume/identify.h"

namespace kestrova {

bool OpenDevice(SectorDevice& device, const DriveTables& tables, Ui& ui, const OpenRequest& request,
                OpenedVolume& out) {
  ActivityMark activity(Fn::OpenDevice);
  out = OpenedVolume{};
  if (!OpenRaw(device, tables, ui, request, out.raw)) return false;
  if (request.request != FsType::Detect) {
    out.type = request.request;
    return true;
  }
  OpenIdentification id = IdentifyAtOpen(device, out.raw.bootSector, request.count);
  out.type = id.type;
  out.bootSectorAt = id.bootSectorAt;
  if (id.bootSectorAt != 0) {
    // The volume is used with its boot sector from the backup position.
    out.raw.bootSector = id.bootSector;
    out.raw.bootSectorCopy = id.bootSector;
  }
  if (request.entry) request.entry->detectedFs = static_cast<std::int32_t>(id.type);
  return true;
}

bool OpenEntry(SectorDevice& device, const DriveTables& tables, Ui& ui, DriveEntry& entry,
               const std::string& imagePath, const std::string& volumePath, FsType request, OpenedVolume& out) {
  ActivityMark activity(Fn::OpenEntry);
  OpenRequest r;
  r.entry = &entry;
  r.request = request;
  r.count = entry.sectors;
  r.start = entry.start;
  if (!imagePath.empty()) {
    r.imagePath = imagePath;
  } else if (!volumePath.empty() && !entry.wholeDrive && entry.startIsPhysical == 0 && entry.start == 0) {
    r.volumePath = volumePath;  // a system volume opened through its own device
  } else {
    r.physicalDrive = entry.drive;
    // A start found inside a volume counts from that volume's own start.
    if (!entry.startIsPhysical && !volumePath.empty()) {
      if (auto place = VolumeLocation(tables, volumePath)) r.start += place->startSector;
    }
  }
  if (entry.wholeDrive) r.count = 0;
  return OpenDevice(device, tables, ui, r, out);
}

}  // namespace kestrova
