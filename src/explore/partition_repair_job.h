// The quick partition restore as both front ends use it: open a drive or an
// image, gather its repair candidates, show the plan and its details, make a
// backup, apply the plan after the automatic backup, and put a backup back.
#pragma once

#include "common/ui.h"
#include "device/drive_tables.h"
#include "device/scan_flags.h"
#include "device/sector_device.h"
#include "explore/volume_session.h"
#include "tools/partition_repair.h"
#include "tools/repair_backup.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova {

enum class RepairOutcome {
  Ok,            // every write made (or nothing to write)
  Nothing,       // the plan is empty
  BackupFailed,  // the automatic backup failed: nothing written
  WriteFailed,   // a write failed: outcome.written says which were made
  NotOpen,
};

struct RepairResult {
  RepairOutcome outcome = RepairOutcome::NotOpen;
  std::string backupPath;                 // the automatic backup (when made)
  std::vector<SectorWrite> written;       // the writes that were made, in order
  const SectorWrite* failed = nullptr;    // into the plan: the write that failed
  std::string restoreCommand;             // the command that puts the automatic backup back
};

class PartitionRepairJob {
 public:
  explicit PartitionRepairJob(Ui& ui);
  PartitionRepairJob(const PartitionRepairJob&) = delete;
  PartitionRepairJob& operator=(const PartitionRepairJob&) = delete;

  // Opens an image file or a block device, lists it and gathers its candidates.
  SessionStatus Open(const std::string& path);
  bool IsOpen() const { return device_.IsOpen(); }
  const std::string& sourcePath() const { return path_; }
  const RepairCandidates& candidates() const { return candidates_; }
  SectorDevice& device() { return device_; }

  // The plan of "&Restore" (checks and messages through the Ui); writes nothing.
  PlanStatus Plan(RepairPlan& plan, bool noRoomConfirmed = false);
  // The automatic backup of the plan's sectors, verified, then the writes.
  // Reports "Operation done, auto-backup created in file:" (or the failure
  // with the sectors written and the restore command) through the Ui. The
  // drive is listed again afterwards.
  RepairResult Apply(const RepairPlan& plan);

  // "Make &Backup": the backup of what a repair would overwrite.
  BackupStatus MakeBackup(const std::string& path);
  // The name "Make &Backup" proposes: the image's or the drive's name + ".kvb".
  std::string ProposedBackupName() const;

  // "Load backup": the writes that put a backup back on the open source.
  RestoreStatus PlanRestore(const std::string& kvb, bool confirmed, RepairPlan& plan, BackupInfo* info = nullptr);
  // Applied like a repair: the current sectors are backed up first.
  RepairResult ApplyRestore(const RepairPlan& plan);

  // Where automatic backups go: beside the image for an image, else the
  // settings folder ($XDG_CONFIG_HOME/kestrova/, or ~/.config/kestrova/).
  std::string AutoBackupFolder() const;
  void SetAutoBackupFolder(std::string folder) { backupFolder_ = std::move(folder); }

  // Writes go through a device source this hands out (tests inject failures).
  void SetReopen(ReopenFn reopen) { reopenOverride_ = std::move(reopen); }

 private:
  RepairResult ApplyWithBackup(const RepairPlan& plan, bool report);

  Ui& ui_;
  ScanFlags scan_;
  SectorDevice device_{scan_};
  DriveTables tables_;
  std::string path_;
  bool image_ = false;
  RepairCandidates candidates_;
  std::string backupFolder_;
  ReopenFn reopenOverride_;
};

}  // namespace kestrova
