#include "device/device_open.h"
#include "common/activity.h"

#include "common/text.h"
#include "device/posix_block_source.h"
#include "resources/strings.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace kestrova {

bool IsRefusedImage(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".vmdk";
}

namespace {

ReopenFn MakeReopen(const std::string& path) {
  return [path](bool writable, int& error) -> std::unique_ptr<BlockSource> {
    OpenResult r = OpenPosixSource(path, writable ? OpenAccess::ReadWrite : OpenAccess::ReadOnly);
    error = r.error;
    return std::move(r.source);
  };
}

}  // namespace

bool OpenRaw(SectorDevice& device, const DriveTables& tables, Ui& ui, const OpenRequest& req, OpenedDevice& out) {
  ActivityMark activity(Fn::OpenRaw);
  device.Reset();
  out = OpenedDevice{};
  VolumeGeometry& g = device.GeometryForMount();  // the opener fills the device part

  if (!req.imagePath.empty()) {
    if (IsRefusedImage(req.imagePath)) {
      ui.MessageBox(Text(StringId::VmdkRefused), Text(StringId::Caption), MsgIcon::Information, MsgButtons::Ok);
      return false;
    }
    OpenResult r = OpenPosixSource(req.imagePath, OpenAccess::ReadOnly);
    if (!r.source) {
      ui.MessageBox(Text(StringId::CantOpenImageFile), Text(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
      return false;
    }
    // A raw dump without a header: 512-byte sectors, a trailing partial sector ignored.
    const std::uint64_t bytes = r.source->ByteLength();
    device.path = req.imagePath;
    g.sectorSize = 512;
    g.deviceSectors = bytes / 512;
    g.volumeStart = req.start;
    g.volumeSectorsHint = req.count;
    device.Attach(std::move(r.source), MakeReopen(req.imagePath));
  } else {
    const bool physical = req.physicalDrive >= 0;
    if (physical) {
      const PhysicalDrive* d = tables.Physical(req.physicalDrive);
      if (!d) {
        device.physicalDrive = -1;
        return false;
      }
      device.path = d->devicePath;
      device.physicalDrive = req.physicalDrive;
      g.volumeStart = req.start;
      g.volumeSectorsHint = req.count;
    } else {
      device.path = req.volumePath;
      // A volume's own device starts at its sector 0; a start inside it is honoured
      // (the command line opens whole disks this way).
      g.volumeStart = req.start;
      g.volumeSectorsHint = req.count;
    }
    OpenResult r = OpenPosixSource(device.path, OpenAccess::ReadOnly);
    if (!r.source) {
      if (!physical && req.showErrors)
        ui.MessageBox(Text(StringId::CantOpenThisDrive), Text(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
      device.Reset();
      device.physicalDrive = -1;
      return false;
    }
    const std::uint32_t ss = r.source->LogicalSectorSize();
    g.sectorSize = ss != 0 ? ss : 512;
    const std::uint64_t length = r.source->ByteLength() / device.sectorSize;
    // The block device's own length is exact on Linux; the mounted file system's
    // total would hide sectors beyond its own area (an NTFS backup boot sector).
    if (length != 0) g.deviceSectors = length;
    if (req.count == 0 && length != 0) g.volumeLastSector = length - 1;
    device.Attach(std::move(r.source), MakeReopen(device.path));
  }

  const std::size_t ss = std::max<std::size_t>(device.sectorSize, 512);
  out.bootSector.assign(ss, 0);
  out.bootSectorRead = device.ReadSectors(0, out.bootSector, 1) == ReadOk;
  out.bootSectorCopy = out.bootSector;
  return true;
}

}  // namespace kestrova
