// What the system offers to open: physical drives (from /sys/block) and the
// system's volumes (block partitions and file-system carrying devices, with
// mount points from the mount table and labels from libblkid).
#pragma once

#include "device/drive_entry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

struct DriveTables {
  std::vector<PhysicalDrive> physical;  // index = drive number
  std::vector<SystemVolume> volumes;

  const PhysicalDrive* Physical(std::int32_t number) const;
};

// Where the system's block devices are described; tests point these at a fake tree.
struct SystemPaths {
  std::string sysBlock = "/sys/block";
  std::string sysClassBlock = "/sys/class/block";
  std::string mountInfo = "/proc/self/mountinfo";
  std::string dev = "/dev";
  bool probeLabels = true;  // libblkid probes of the devices themselves
};

// Disks, NVMe, MMC, virtio and loop devices with a backing file; not ram or zram.
bool IsListablePhysicalName(const std::string& name);

std::vector<PhysicalDrive> EnumeratePhysicalDrives(const SystemPaths& paths);
std::vector<SystemVolume> EnumerateSystemVolumes(const SystemPaths& paths, const std::vector<PhysicalDrive>& drives);

// Model text: vendor and product joined by a space, or "PHYSICAL DRIVE %i".
std::u16string DriveModelName(const SystemPaths& paths, const std::string& blockName, std::int32_t number);

struct VolumePlace {
  std::int32_t physicalDrive = -1;
  std::uint64_t startSector = 0;
  std::uint32_t sectorSize = 512;
};
// Where a volume (a /dev path) lies: its physical drive, start sector on it and sector size.
std::optional<VolumePlace> VolumeLocation(const DriveTables& tables, const std::string& volumePath);
// Sector count and sector size of a volume; nullopt when it cannot be read.
std::optional<std::pair<std::uint64_t, std::uint32_t>> VolumeSectors(const DriveTables& tables,
                                                                     const std::string& volumePath);

// A volume serial from a blkid UUID: "XXXX-XXXX" (FAT, exFAT) or 16 hex digits
// (NTFS, low 32 bits); 0 for anything else.
std::uint32_t SerialFromUuid(const std::string& uuid);

struct MountRecord {
  std::string majorMinor;  // "8:1"
  std::string mountPoint;  // unescaped
  std::string source;
};
// Parses a /proc/self/mountinfo text; malformed lines are skipped.
std::vector<MountRecord> ParseMountInfo(const std::string& text);

}  // namespace kestrova
