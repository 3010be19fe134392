// The device list of the start window: physical drives with their volumes,
// the system's other volumes, whole-drive rows, and image files.
#pragma once

#include "common/ui.h"
#include "common/worker_token.h"
#include "device/drive_entry.h"
#include "device/drive_tables.h"
#include "device/sector_device.h"
#include "volume/list_partitions.h"

#include <atomic>
#include <string>
#include <vector>

namespace kestrova {

struct DriveRow {
  DriveEntry entry = MakeDriveEntry();
  DriveSettings settings;
  std::string volumePath;  // system volumes: the device to open
  std::string imagePath;   // rows of an image file
};

struct DriveGroup {
  std::u16string title;
  std::vector<std::size_t> rows;  // indexes into DriveList::rows
};

// What the listing of one drive found that a partition repair could use.
struct DriveRepairCandidates {
  std::int32_t drive = -1;
  std::string imagePath;
  std::uint64_t deviceSectors = 0;
  PartitionListing listing;  // afterLast: volumes missing from the table
};

struct DriveList {
  DriveTables tables;
  std::vector<DriveRow> rows;  // at most kMaxDriveListEntries
  std::vector<DriveGroup> groups;
  std::vector<DriveEntry> damagedBootSectors;
  std::vector<DriveRepairCandidates> repairs;  // one per listed drive or image
};

struct RefreshOptions {
  bool includeSystem = true;  // false: build the list from image files alone
  SystemPaths paths;
  std::vector<std::string> images;
  const WorkerToken* cancel = nullptr;  // the listing thread's token: stopped when the window closes
};

// Rebuilds the list. Opens devices one after another through device, which is
// closed afterwards. Runs on a worker thread; nothing else may open meanwhile.
void RefreshDriveList(DriveList& list, SectorDevice& device, Ui& ui, const RefreshOptions& options);

// Adds the groups of one image file. Refused (".vmdk") and unopenable images
// show their message and add nothing; returns false then.
bool AddImageToList(DriveList& list, SectorDevice& device, Ui& ui, const std::string& imagePath);

// Texts of a row as the list shows them.
struct RowTexts {
  std::u16string name, fsName, size, free;
};
RowTexts DescribeRow(const DriveRow& row);

}  // namespace kestrova
