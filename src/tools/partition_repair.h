// The quick partition restore: what can be repaired on a listed drive (entries
// missing from the MBR, boot sectors only readable from their backup, broken
// records of the extended chain), and the writes that repair it.
//
// This is the one place that writes to the drive being recovered, so the work
// is split in two: a plan computes every sector write (its sector, the bytes
// there now, the bytes it will hold) without writing anything; a separate step
// applies a plan, and only after a complete, read-back backup of every sector
// the plan touches (tools/repair_backup.h). Both front ends show the plan.
#pragma once

#include "common/ui.h"
#include "device/drive_entry.h"
#include "device/sector_device.h"
#include "volume/identify.h"
#include "volume/list_partitions.h"
#include "volume/partition_entry.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrova {

// One proposed primary entry of the rebuilt MBR table.
struct RebuiltEntry {
  MbrEntry entry;     // boot flag 0 here; RestoreMbr sets 0x80 on the first slot it fills
  bool fits = false;  // among the MBR slots a repair may fill
};

// One broken record of the extended chain and its corrected entries.
struct ExtendedFix {
  std::int32_t drive = 0;
  std::uint64_t recordSector = 0;
  MbrEntry firstEntry;  // the logical volume: relative start 63, its aligned size
  MbrEntry linkEntry;   // the next record: relative to the container's base
  std::uint64_t logicalStart = 0;      // absolute (record + 63)
  std::uint64_t nextLogicalStart = 0;  // absolute first sector of the next logical volume
  bool fixFirst = false;
  bool fixLink = false;
  std::uint8_t firstKind = 0;
  std::uint8_t nextKind = 0;
  bool used = false;
};

// Everything a repair of one drive (or image) may do, gathered after its listing.
struct RepairCandidates {
  std::int32_t drive = 0;
  std::string imagePath;               // empty for a physical drive
  std::u16string driveName;            // the image's path or the drive's model (the backup's stored name)
  std::uint64_t deviceSectors = 0;
  std::uint32_t sectorSize = 512;

  PartitionListing listing;            // the drive's tables as listed
  std::vector<RebuiltEntry> rebuilt;   // the rebuilt MBR table, in the walk's order
  int lostPartitions = 0;              // rebuilt entries that no MBR slot starts at
  std::vector<DriveEntry> lost;        // volumes the walk found
  std::vector<DriveEntry> damagedBoot; // volumes whose boot sector came from a backup
  std::vector<ExtendedFix> extendedFixes;
  std::vector<DriveEntry> restoreList; // "Lost partitions or logical drives", by first sector

  bool Empty() const { return damagedBoot.empty() && lostPartitions == 0 && extendedFixes.empty(); }
};

// Bounds on hostile tables.
inline constexpr std::size_t kMaxWalkVolumes = 128;      // volumes one pass may add
inline constexpr std::uint64_t kMaxWalkSteps = 1 << 16;  // sectors one pass may look at
inline constexpr std::size_t kMaxExtendedFixes = 128;

// Gathers the candidates of the drive open in ctx.device: the listing's
// tables, its damaged boot sectors (those of ctx.drive), then the walk. The
// listing is the one of DriveRepairCandidates (drive_list.h) or a fresh one.
RepairCandidates GatherRepairCandidates(IdentifyContext& ctx, const PartitionListing& listing,
                                        const std::vector<DriveEntry>& damagedBootSectors,
                                        std::uint64_t deviceSectors);

// The walk over the drive in passes from 63, 16065, 256 and 2048: lost
// volumes into candidates.lost and .rebuilt, extended-record fixes into
// .extendedFixes. Bounded: each pass looks at kMaxWalkSteps sectors at most.
void QuickPartitionWalk(IdentifyContext& ctx, RepairCandidates& candidates);

// Checks the extended record at `record` (container base `base`); records a
// fix in candidates when one of its entries is wrong and a volume shows where
// it should point. True when a fix was recorded.
bool CheckExtendedRecord(IdentifyContext& ctx, std::uint64_t record, std::uint64_t base,
                         RepairCandidates& candidates);

// The restore list: logical volumes of the fixes, damaged-boot volumes and
// lost partitions, each first sector once, sorted by first sector.
std::vector<DriveEntry> BuildRestoreList(const RepairCandidates& candidates);

// ---- the plan ----

// One write of a repair: count sectors at an absolute sector.
struct SectorWrite {
  std::uint64_t sector = 0;
  std::uint32_t count = 0;
  std::vector<std::uint8_t> before;  // what the sectors hold now
  std::vector<std::uint8_t> after;   // what they will hold
  std::u16string what;               // "MBR", "EPP at sector: ...", the volume
};

// A block the backup must hold before the plan may be applied.
struct BackupRange {
  std::uint64_t sector = 0;
  std::uint32_t count = 0;
};

struct RepairPlan {
  std::vector<SectorWrite> writes;          // in the order they are applied
  std::vector<BackupRange> backup;          // the backup's blocks, in their stored order
  std::vector<std::u16string> notes;        // shown with the details (e.g. the NTFS loader note)
  bool Empty() const { return writes.empty(); }
};

// The window's checks before "&Restore", in order.
enum class RestoreCheck {
  Ok,
  NothingToRestore,  // "There is nothing to restore! Please check details."
  SecondExtended,    // "Only one extended partition is available on HDD..." (details to be shown)
  NoRoomDeclined,    // "There is no room for all primaries..." answered No
};

// Runs the checks, showing their messages through ui; the no-room question is
// asked only when noRoomConfirmed is false.
RestoreCheck CheckRestore(const RepairCandidates& candidates, Ui& ui, bool noRoomConfirmed = false);

// The three writes of "&Restore", each added to plan without writing. Reads
// the device (the sectors' current bytes); false when a read fails (plan unchanged then).
// RestoreMbr asks through ui whether damaged MBR boot code is to be replaced.
bool RestoreMbr(SectorDevice& device, const RepairCandidates& candidates, Ui& ui, RepairPlan& plan);
bool RestoreExtendedRecords(SectorDevice& device, const RepairCandidates& candidates, RepairPlan& plan);
bool RestoreBootRecords(SectorDevice& device, const RepairCandidates& candidates, RepairPlan& plan);

// The backup's blocks in their stored order: sector 0, each fix's record,
// each damaged boot record (8192 bytes for NTFS, one sector otherwise).
std::vector<BackupRange> RepairBackupRanges(const RepairCandidates& candidates);

enum class PlanStatus { Ok, NothingToRestore, SecondExtended, NoRoomDeclined, ReadFailed };

// The whole "&Restore" as a plan: the checks, then the three writes. Writes
// nothing; an Ok plan may still be empty (nothing differs on the drive).
PlanStatus PlanRepair(SectorDevice& device, const RepairCandidates& candidates, Ui& ui, RepairPlan& plan,
                      bool noRoomConfirmed = false);

// True when every write of the plan lies inside one of its backup ranges.
bool PlanCoveredByBackup(const RepairPlan& plan);

struct ApplyResult {
  bool ok = false;
  std::vector<std::size_t> written;  // indexes of the writes done, in order
  std::size_t failed = SIZE_MAX;     // index of the write that failed, if any
};

// Applies the writes in order and stops at the first that fails. The caller
// has made and verified the backup (the facade in explore/ does both); a
// write whose before-bytes no longer match the device is not made (fails).
ApplyResult ApplyPlan(SectorDevice& device, const RepairPlan& plan);

// ---- the details tree ----

struct DetailsNode {
  std::u16string text;
  std::vector<DetailsNode> children;
};

// "Fix details of ..." with the lost MBR entries, damaged boot records and
// damaged EPP blocks, as the details window and the command line show it.
DetailsNode RepairDetails(const RepairCandidates& candidates);

}  // namespace kestrova
