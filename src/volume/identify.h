// What file system lives at a sector: its name, size, label and serial, and
// whether the boot sector had to come from a backup copy.
#pragma once

#include "common/fs_type.h"
#include "device/drive_entry.h"
#include "device/sector_device.h"
#include "volume/partition_entry.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrova {

struct IdentifyContext {
  SectorDevice& device;
  std::int32_t drive = 0;                                // written into the result
  const std::vector<SystemVolume>* systemVolumes = nullptr;
  std::vector<DriveEntry>* damagedBootSectors = nullptr;  // candidates for the boot-sector repair
};

// Identifies the volume at absolute sector start of the whole device, without
// touching the mounted volume's geometry or bounds. table and gpt may be null; preRead, when not empty, is the
// boot sector already read at start. True when result holds a usable entry.
bool IdentifyVolume(IdentifyContext& ctx, std::uint64_t start, const MbrEntry* table, DriveEntry& result,
                    std::span<const std::uint8_t> preRead = {}, const GptEntry* gpt = nullptr);

// The label as the list shows it with a mount point (where a drive letter would
// be): "LABEL (/mnt/x)", or just "(/mnt/x)" for an unnamed volume.
std::u16string LabelWithMountPoint(const std::u16string& label, const std::string& mountPoint);

// Count reconciliation thresholds, in sectors.
inline constexpr std::uint64_t kFatCountThreshold = 0x81200;
inline constexpr std::uint64_t kNtfsCountThreshold = 0x80000;
inline constexpr std::uint64_t kReiserCountThreshold = 0x20000;

// The five boot-sector tests used at open, mapped to FsType (RawOther when none matches).
FsType QuickFsTest(std::span<const std::uint8_t> bootSector);

struct OpenIdentification {
  FsType type = FsType::RawOther;
  std::uint64_t bootSectorAt = 0;        // volume-relative sector the boot sector came from
  std::vector<std::uint8_t> bootSector;  // its bytes
};

// Identification at open: the quick tests on the sector at the volume's start,
// then the backups (12 exFAT, 2 and 6 FAT32, count - 1 and count NTFS). Reads
// volume-relative sectors of the open device.
OpenIdentification IdentifyAtOpen(SectorDevice& device, std::span<const std::uint8_t> bootAtStart,
                                  std::uint64_t volumeSectors);
// The same tests for a volume at absolute sector start of the whole device,
// whatever volume is mounted (the partition listing); bootSectorAt stays relative to start.
OpenIdentification IdentifyAtDeviceSector(SectorDevice& device, std::uint64_t start,
                                          std::span<const std::uint8_t> bootAtStart, std::uint64_t volumeSectors);

}  // namespace kestrova
