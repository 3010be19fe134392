// Opening the SOURCE argument of a subcommand: an image file or a block device.
#pragma once

#include "common/ui.h"
#include "device/drive_tables.h"
#include "device/sector_device.h"
#include "volume/open_volume.h"

#include <cstdint>
#include <string>

namespace kestrova::cli {

// The request for SOURCE: images by path, block devices as a volume path.
// Empty optional-like result (false) with a message when SOURCE is missing or a folder.
bool SourceRequest(const std::string& source, OpenRequest& request);

// Opens SOURCE at start (count sectors, 0 = to the end) and identifies it.
// Returns kExitOk or the exit code, having printed why.
int OpenSource(const std::string& source, std::uint64_t start, std::uint64_t count, SectorDevice& device,
               const DriveTables& tables, Ui& ui, OpenedVolume& opened);

}  // namespace kestrova::cli
