#include "volume/drive_list.h"
#include "common/activity.h"

#include "common/number_text.h"
#include "common/text.h"
#include "device/device_open.h"
#include "resources/strings.h"
#include "volume/identify.h"

#include <algorithm>
#include <filesystem>

namespace kestrova {
namespace {

std::u16string U16(const std::string& s) { return ToUtf16(s); }

DriveGroup& Group(DriveList& list, const std::u16string& title) {
  for (DriveGroup& g : list.groups)
    if (g.title == title) return g;
  list.groups.push_back(DriveGroup{title, {}});
  return list.groups.back();
}

bool AddRow(DriveList& list, const std::u16string& group, DriveRow row) {
  if (list.rows.size() >= kMaxDriveListEntries) return false;
  list.rows.push_back(std::move(row));
  Group(list, group).rows.push_back(list.rows.size() - 1);
  return true;
}

// Lists the partitions of the open device as rows of its group and keeps the
// repair candidates of the drive.
void ListVolumesOfDevice(DriveList& list, SectorDevice& device, std::int32_t drive, const std::u16string& group,
                         const std::string& imagePath) {
  IdentifyContext ctx{device, drive, &list.tables.volumes, &list.damagedBootSectors};
  DriveRepairCandidates repair;
  repair.drive = drive;
  repair.imagePath = imagePath;
  repair.deviceSectors = device.deviceSectors == kAllOnes ? 0 : device.deviceSectors;
  repair.listing = ListPartitions(ctx, repair.deviceSectors);
  for (const DriveEntry& entry : repair.listing.volumes) {
    DriveRow row;
    row.entry = entry;
    row.entry.startIsPhysical = 1;
    row.imagePath = imagePath;
    if (!AddRow(list, group, std::move(row))) break;
  }
  list.repairs.push_back(std::move(repair));
}

DriveRow WholeDriveRow(std::int32_t number, const std::u16string& name, std::uint64_t sectors,
                       const std::string& imagePath) {
  DriveRow row;
  row.entry.drive = number;
  row.entry.sectors = sectors;
  row.entry.sectorSize = 512;
  row.entry.letter = '$';
  row.entry.wholeDrive = 1;
  row.entry.startIsPhysical = 1;
  SetEntryLabel(row.entry, name);
  SetEntryLabel2(row.entry, name);
  row.imagePath = imagePath;
  return row;
}

}  // namespace

bool AddImageToList(DriveList& list, SectorDevice& device, Ui& ui, const std::string& imagePath) {
  ActivityMark activity(Fn::AddImageToList);
  OpenRequest req;
  req.imagePath = imagePath;
  OpenedDevice opened;
  if (!OpenRaw(device, list.tables, ui, req, opened)) return false;
  const std::uint64_t sectors = device.deviceSectors;
  const std::u16string title = FillPlaceholders(Text(StringId::ImageGroup), {U16(imagePath)});
  ListVolumesOfDevice(list, device, 0, title, imagePath);
  Group(list, title);  // the group shows even when nothing was identified
  device.Close();
  AddRow(list, Text(StringId::PhysicalDrivesString),
         WholeDriveRow(0, U16(std::filesystem::path(imagePath).filename().string()), sectors, imagePath));
  return true;
}

void RefreshDriveList(DriveList& list, SectorDevice& device, Ui& ui, const RefreshOptions& options) {
  ActivityMark activity(Fn::RefreshDriveList);
  list = DriveList{};
  auto cancelled = [&] { return options.cancel && options.cancel->StopRequested(); };
  if (options.includeSystem) {
    list.tables.physical = EnumeratePhysicalDrives(options.paths);
    list.tables.volumes = EnumerateSystemVolumes(options.paths, list.tables.physical);
    SilentUi quiet;  // drives without a medium must not raise boxes while probing
    for (PhysicalDrive& d : list.tables.physical) {
      if (cancelled()) break;
      OpenRequest req;
      req.physicalDrive = d.number;
      req.showErrors = false;
      OpenedDevice opened;
      if (!OpenRaw(device, list.tables, quiet, req, opened)) continue;  // absent from the list
      d.opened = true;
      const std::u16string title = FillPlaceholders(
          Text(StringId::HddGroup), {U16(std::to_string(d.number)), d.model, U16(SizeText(d.byteLength))});
      Group(list, title);
      ListVolumesOfDevice(list, device, d.number, title, {});
      device.Close();
    }
    // System volumes that no listed row stands for.
    for (const SystemVolume& v : list.tables.volumes) {
      const bool matched = std::any_of(list.rows.begin(), list.rows.end(), [&](const DriveRow& r) {
        return !r.entry.wholeDrive && v.physicalDrive >= 0 && r.entry.drive == v.physicalDrive &&
               r.entry.start == v.startSector && r.imagePath.empty();
      });
      if (matched) continue;
      const auto sectors = VolumeSectors(list.tables, v.devicePath);
      if (!sectors) continue;
      DriveRow row;
      row.volumePath = v.devicePath;
      row.entry.drive = v.physicalDrive;
      row.entry.start = 0;
      row.entry.sectors = sectors->first;
      row.entry.sectorSize = sectors->second;
      row.entry.serial = v.serial;
      row.entry.letter = '$';
      row.entry.freeBytes = static_cast<double>(v.freeBytes);
      SetEntryFsName(row.entry, v.fsName.empty() ? u"UNKNOWN" : v.fsName);
      const std::u16string label = v.label.empty() ? u"NO NAME" : v.label;
      SetEntryLabel2(row.entry, label);
      std::u16string shown = label;
      if (!v.mountPoint.empty())
        shown = LabelWithMountPoint(label, v.mountPoint);
      else
        shown += u" [" + U16(std::filesystem::path(v.devicePath).filename().string()) + u"]";
      SetEntryLabel(row.entry, shown);
      AddRow(list, v.physicalDrive >= 0 ? Text(StringId::SystemDrivesString) : Text(StringId::VirtualDrivesString),
             std::move(row));
    }
    Group(list, Text(StringId::SystemDrivesString));
    Group(list, Text(StringId::VirtualDrivesString));
    for (const PhysicalDrive& d : list.tables.physical)
      if (d.opened) AddRow(list, Text(StringId::PhysicalDrivesString), WholeDriveRow(d.number, d.model, d.sectors, {}));
    Group(list, Text(StringId::PhysicalDrivesString));
  }
  for (const std::string& image : options.images) {
    if (cancelled()) break;
    AddImageToList(list, device, ui, image);
  }
}

RowTexts DescribeRow(const DriveRow& row) {
  RowTexts t;
  t.name = EntryLabel(row.entry);
  t.fsName = EntryFsName(row.entry);
  const std::uint64_t ss = row.entry.sectorSize ? row.entry.sectorSize : 512;
  t.size = U16(SizeText(row.entry.sectors * ss));
  t.free = row.entry.freeBytes > 0 ? U16(SizeText(static_cast<std::uint64_t>(row.entry.freeBytes)))
                                   : Text(StringId::NotAvailable);
  return t;
}

}  // namespace kestrova
