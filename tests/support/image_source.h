// Opens an image file as a device for tests that read real images.
#pragma once

#include "device/posix_block_source.h"
#include "device/sector_device.h"

#include <memory>
#include <string>

namespace kestrova::test {

struct ImageDevice {
  ScanFlags scan;
  SectorDevice device{scan};
  bool ok = false;
  explicit ImageDevice(const std::string& path) {
    OpenResult r = OpenPosixSource(path, OpenAccess::ReadOnly);
    if (!r.source) return;
    device.GeometryForMount().deviceSectors = r.source->ByteLength() / 512;
    device.Attach(std::move(r.source), nullptr);
    ok = true;
  }
};

}  // namespace kestrova::test
