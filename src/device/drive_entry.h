// Rows of the device list and the per-drive advanced settings. DriveEntry and
// PhysicalDriveRecord are stored whole in partition-search, backup and session
// files, so their packed layouts are fixed.
#pragma once

#include "common/fs_type.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrova {

#pragma pack(push, 1)
struct DriveEntry {
  std::int32_t drive;           // physical drive number; -1 not tied to a drive; 0 for an image
  std::uint64_t start;          // first sector on its device
  std::uint64_t sectors;        // sector count
  std::uint8_t startHead;       // CHS copied from the partition table entry
  std::uint8_t startSector;
  std::uint8_t startCylinder;
  std::uint8_t endHead;
  std::uint8_t endSector;
  std::uint8_t endCylinder;
  std::uint8_t partitionType;   // type byte from the table, 0 when none
  // Texts are UTF-16LE held as bytes: a packed record has no aligned char16_t.
  std::uint8_t fsName[64];      // 32 characters
  std::uint8_t label[256];      // 128 characters; shown label, mount point appended when matched
  std::uint8_t label2[256];     // 128 characters; label as read from the volume
  std::uint32_t serial;
  std::uint8_t letter;          // '$' for whole drives, images and partitions without a mount
  double freeBytes;
  std::int32_t wholeDrive;
  std::int32_t damagedResult;
  std::uint16_t foundAt[8];     // UTC: year, month, day of week, day, hour, minute, second, ms
  std::int32_t bootDamaged;
  std::uint32_t sectorSize;
  std::uint8_t fsKind;
  std::int32_t detectedFs;
  std::int32_t startIsPhysical;
  std::uint8_t reserved[14];    // pads the record to its stored size; always zero
};
#pragma pack(pop)

static_assert(sizeof(DriveEntry) == 671);
static_assert(offsetof(DriveEntry, drive) == 0);
static_assert(offsetof(DriveEntry, start) == 4);
static_assert(offsetof(DriveEntry, sectors) == 12);
static_assert(offsetof(DriveEntry, partitionType) == 26);
static_assert(offsetof(DriveEntry, fsName) == 27);
static_assert(offsetof(DriveEntry, label) == 91);
static_assert(offsetof(DriveEntry, label2) == 347);
static_assert(offsetof(DriveEntry, serial) == 603);
static_assert(offsetof(DriveEntry, letter) == 607);
static_assert(offsetof(DriveEntry, freeBytes) == 608);
static_assert(offsetof(DriveEntry, foundAt) == 624);
static_assert(offsetof(DriveEntry, bootDamaged) == 640);
static_assert(offsetof(DriveEntry, detectedFs) == 649);
static_assert(offsetof(DriveEntry, startIsPhysical) == 653);

// A zeroed entry; every text field empty.
DriveEntry MakeDriveEntry();
// Fixed UTF-16LE text fields of packed records: truncated and NUL-terminated on store.
std::u16string FieldText(std::span<const std::uint8_t> field);
void SetFieldText(std::span<std::uint8_t> field, std::u16string_view text);

std::u16string EntryFsName(const DriveEntry& e);
std::u16string EntryLabel(const DriveEntry& e);
std::u16string EntryLabel2(const DriveEntry& e);
void SetEntryFsName(DriveEntry& e, std::u16string_view text);
void SetEntryLabel(DriveEntry& e, std::u16string_view text);
void SetEntryLabel2(DriveEntry& e, std::u16string_view text);

// One physical drive (up to 64, indexed by drive number): the record the
// session file keeps for the scanned drive.
#pragma pack(push, 1)
struct PhysicalDriveRecord {
  std::int32_t number;
  std::uint8_t model[272];      // 136 UTF-16LE characters: vendor and product, or the image path
  std::uint64_t byteLength;
};
#pragma pack(pop)
static_assert(sizeof(PhysicalDriveRecord) == 284);
static_assert(offsetof(PhysicalDriveRecord, model) == 4);
static_assert(offsetof(PhysicalDriveRecord, byteLength) == 276);

struct PhysicalDrive {
  std::int32_t number = -1;
  std::string devicePath;       // /dev/sdX, /dev/nvme0n1 ...
  std::u16string model;
  std::uint64_t byteLength = 0;
  std::uint64_t sectors = 0;    // byteLength / 512
  std::uint32_t sectorSize = 512;
  bool opened = false;          // set by the list when the drive could be opened
};

// One volume the system knows (a block partition or a whole device carrying a file system).
struct SystemVolume {
  std::u16string label;
  std::string devicePath;       // /dev/sda1
  std::string mountPoint;       // empty when not mounted; shown where a letter would be
  std::uint64_t sizeBytes = 0;      // of the block device
  std::uint64_t totalBytes = 0;     // as the mounted file system reports it; sizeBytes when not mounted
  std::uint64_t freeBytes = 0;
  std::uint32_t serial = 0;
  std::u16string fsName;
  std::int32_t physicalDrive = -1;  // -1 when not on a listed physical drive
  std::uint64_t startSector = 0;    // on that drive, in its sectors
  std::uint32_t sectorSize = 512;
};

// "Advanced drive settings" of one listed row.
struct DriveSettings {
  bool overrideFs = false;          // "Previously was another system:"
  std::uint8_t fsChoice = 0;        // 0 FAT16, 1 FAT32, 2 NTFS, 3 EXFAT; FsType = index + 2
  std::uint8_t clusterChoice = 0;   // 0 AUTO, i > 0: 256 << i bytes
  std::uint8_t fatChoice = 0;       // 0 FAT1, 1 FAT2
  bool damaged = false;
  bool reverse = false;
  std::uint8_t rawAnalyze = 0;      // stored inverted: 0 = box ticked
  std::uint64_t manualStart = 0;
  std::uint64_t manualCount = 0;

  FsType ChosenFs() const { return static_cast<FsType>(fsChoice + 2); }
  bool RawAnalyzeTicked() const { return rawAnalyze == 0; }
  // "damaged" is also set by the reverse mode.
  bool Damaged() const { return damaged || reverse; }
};

inline constexpr std::size_t kClusterChoiceCount = 18;
extern const std::array<std::u16string_view, kClusterChoiceCount> kClusterChoiceNames;
inline constexpr std::array<std::u16string_view, 4> kFsChoiceNames{u"FAT16", u"FAT32", u"NTFS", u"EXFAT"};
inline constexpr std::array<std::u16string_view, 2> kFatChoiceNames{u"FAT1", u"FAT2"};

// Bytes per cluster of a cluster choice: 0 for AUTO or an index out of the list.
std::uint32_t ClusterChoiceBytes(std::uint8_t choice);
// Sectors per cluster of a cluster choice for a sector size: 0 for AUTO.
std::uint32_t ClusterChoiceSectors(std::uint8_t choice, std::uint32_t sectorSize);

inline constexpr std::size_t kMaxDriveListEntries = 128;
inline constexpr std::int32_t kMaxPhysicalDrives = 64;

}  // namespace kestrova
