// The backup file of a partition repair (.kvb): the sectors a repair
// overwrites, as they were. Written to a temporary file, read back and
// compared with the device, and renamed to its name only when complete. A
// .kvb file is hostile input: every size, count and sector is checked against
// the file and the device before a single sector is written back.
#pragma once

#include "common/ui.h"
#include "device/sector_device.h"
#include "tools/partition_repair.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrova {

#pragma pack(push, 1)
struct BackupHeader {
  std::uint8_t magic[4];        // "KVBK"
  std::uint64_t deviceSectors;  // image: its sector count; drive: byte length / 512
  std::uint8_t name[128];       // UTF-16LE, 64 characters: the image's path or the drive's model
  std::uint32_t blockCount;
  std::uint32_t zero;
};
#pragma pack(pop)
static_assert(sizeof(BackupHeader) == 148);
static_assert(offsetof(BackupHeader, deviceSectors) == 4);
static_assert(offsetof(BackupHeader, name) == 12);
static_assert(offsetof(BackupHeader, blockCount) == 140);
static_assert(offsetof(BackupHeader, zero) == 144);

inline constexpr std::size_t kBackupBlockHeadSize = 12;  // sector (8), count (4)
inline constexpr std::uint32_t kMaxBackupBlocks = 4096;
inline constexpr std::uint32_t kMaxBackupBlockSectors = 64;

// One block as the file stores it.
struct BackupBlockInfo {
  std::uint64_t sector = 0;
  std::uint32_t count = 0;
  std::uint64_t offset = 0;  // of its sector bytes in the file
};

struct BackupInfo {
  std::uint64_t deviceSectors = 0;
  std::u16string name;
  std::uint32_t sectorSize = 512;  // the size the blocks were checked against
  std::uint64_t fileSize = 0;
  std::vector<BackupBlockInfo> blocks;
};

enum class BackupStatus {
  Ok,
  CantCreate,    // the file (or its temporary) cannot be created
  ReadFailed,    // a sector of the device cannot be read
  WriteFailed,   // the file cannot be written
  VerifyFailed,  // the file read back differs from the device
  BadRanges,     // no block, or a block outside the device
};

// Writes the backup of `ranges` (sectors of the device open in `device`) to
// `path`: to path + ".part" first, read back and compared with the device,
// then renamed. On any failure nothing is left at path (and no temporary).
BackupStatus MakeBackup(SectorDevice& device, const std::string& path, std::u16string_view name,
                        std::uint64_t deviceSectors, std::span<const BackupRange> ranges);

enum class BackupReadStatus {
  Ok,
  CantOpen,
  NotKvb,    // "This file is damaged or not compatible!": no "KVBK"
  Corrupt,   // sizes or counts that do not add up to the file
};

// Reads and checks the header and every block's head against the file's size
// (blocks of sectorSize bytes per sector); never reads more than the file holds.
BackupReadStatus ReadBackupInfo(const std::string& path, std::uint32_t sectorSize, BackupInfo& info);

enum class RestoreStatus {
  Ok,
  CantOpen,
  NotKvb,
  Corrupt,
  OutsideDevice,  // a block reaches past the device's end
  Mismatch,       // stored name or sector count differ from the device, not confirmed
  Declined,       // "Are You sure ..." answered No
  ReadFailed,     // the file or the device could not be read while planning
  WriteFailed,
};

// The writes that put the backup back on the device open in `device` (named
// deviceName, deviceSectors long), as a plan (before: the device now, after:
// the file). A name or sector count that differs is refused unless the
// question through ui ("%s %s (%s)?" with the stored name) is answered Yes or
// `confirmed` is set.
RestoreStatus PlanRestoreBackup(SectorDevice& device, const std::string& path, std::u16string_view deviceName,
                                std::uint64_t deviceSectors, Ui& ui, bool confirmed, RepairPlan& plan,
                                BackupInfo* info = nullptr);

// True when the stored name and sector count are those of the device (a name
// longer than the field is compared by its stored end).
bool BackupMatchesDevice(const BackupInfo& info, std::u16string_view deviceName, std::uint64_t deviceSectors);

// The stored name as text (UTF-16LE up to its first NUL).
std::u16string BackupName(const BackupHeader& header);

}  // namespace kestrova
