// Opening the SOURCE argument of a subcommand: an image file or a block device.
#pragma once

#include "cli/terminal_ui.h"
#include "common/ui.h"
#include "volume/list_partitions.h"
#include "device/drive_tables.h"
#include "device/sector_device.h"
#include "volume/open_volume.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova::cli {

// The request for SOURCE: images by path, block devices as a volume path.
// Empty optional-like result (false) with a message when SOURCE is missing or a folder.
bool SourceRequest(const std::string& source, OpenRequest& request);

// Opens SOURCE at start (count sectors, 0 = to the end) and identifies it.
// Returns kExitOk or the exit code, having printed why.
int OpenSource(const std::string& source, std::uint64_t start, std::uint64_t count, SectorDevice& device,
               const DriveTables& tables, Ui& ui, OpenedVolume& opened);

// A row of the listing: a volume, and whether it is in no table.
struct Listed {
  DriveEntry entry;
  bool lost = false;  // behind the last volume, in no table
};

// A source opened whole and listed, then one of its volumes opened.
struct ListedSource {
  TerminalUi ui;
  ScanFlags scan;
  SectorDevice device{scan};
  DriveTables tables;
  PartitionListing listing;
  std::vector<Listed> rows;

  // Returns an exit code; kExitOk fills the listing and rows.
  int Open(const std::string& source);
  // Opens the volume of a row (image or block device at its start).
  int OpenVolume(const std::string& source, DriveEntry& entry, OpenedVolume& opened);
};

}  // namespace kestrova::cli
