#include "explore/partition_repair_job.h"

#include "common/activity.h"
#include "common/text.h"
#include "device/device_open.h"
#include "device/posix_block_source.h"
#include "resources/strings.h"
#include "volume/list_partitions.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace kestrova {
namespace {

std::string ShellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string UtcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

}  // namespace

PartitionRepairJob::PartitionRepairJob(Ui& ui) : ui_(ui) {}

SessionStatus PartitionRepairJob::Open(const std::string& path) {
  ActivityMark activity(Fn::PartitionRepairJobOpen);
  device_.Close();
  candidates_ = RepairCandidates{};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return SessionStatus::Missing;
  if (S_ISDIR(st.st_mode)) return SessionStatus::IsFolder;
  image_ = !S_ISBLK(st.st_mode);
  OpenRequest request;
  if (image_)
    request.imagePath = path;
  else
    request.volumePath = path;
  OpenedDevice opened;
  if (!OpenRaw(device_, tables_, ui_, request, opened)) return SessionStatus::CantOpen;
  if (!opened.bootSectorRead) return SessionStatus::BootUnreadable;
  path_ = path;
  if (reopenOverride_) {
    OpenResult again = OpenPosixSource(path, OpenAccess::ReadOnly);
    if (!again.source) return SessionStatus::CantOpen;
    device_.Attach(std::move(again.source), reopenOverride_);
  }
  const std::uint64_t sectors = device_.deviceSectors == kAllOnes ? 0 : device_.deviceSectors;
  std::vector<DriveEntry> damaged;
  IdentifyContext ctx{device_, 0, nullptr, &damaged};
  const PartitionListing listing = ListPartitions(ctx, sectors);
  candidates_ = GatherRepairCandidates(ctx, listing, damaged, sectors);
  candidates_.imagePath = image_ ? path : std::string();
  // The stored name: the image's path, or the device's path for a drive.
  candidates_.driveName = ToUtf16(path);
  return SessionStatus::Ok;
}

PlanStatus PartitionRepairJob::Plan(RepairPlan& plan, bool noRoomConfirmed) {
  if (!IsOpen()) return PlanStatus::ReadFailed;
  return PlanRepair(device_, candidates_, ui_, plan, noRoomConfirmed);
}

std::string PartitionRepairJob::AutoBackupFolder() const {
  if (!backupFolder_.empty()) return backupFolder_;
  if (image_ && !path_.empty()) {
    const std::filesystem::path parent = std::filesystem::absolute(path_).parent_path();
    return parent.string();
  }
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg && *xdg)
    base = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    base = std::string(home) + "/.config";
  else
    base = ".";
  return base + "/kestrova";
}

std::string PartitionRepairJob::ProposedBackupName() const {
  if (image_) return path_ + ".kvb";
  return std::filesystem::path(path_).filename().string() + ".kvb";
}

BackupStatus PartitionRepairJob::MakeBackup(const std::string& path) {
  if (!IsOpen()) return BackupStatus::CantCreate;
  const std::vector<BackupRange> ranges = RepairBackupRanges(candidates_);
  const BackupStatus s = kestrova::MakeBackup(device_, path, candidates_.driveName, candidates_.deviceSectors, ranges);
  if (s == BackupStatus::Ok)
    ui_.MessageBox(Text(StringId::PartFixBackupCreated), Text(StringId::PartitionFixCaption), MsgIcon::Information,
                   MsgButtons::Ok);
  else
    ui_.MessageBox(Text(StringId::PartFixBackupNotCreated), Text(StringId::PartitionFixCaption), MsgIcon::Error,
                   MsgButtons::Ok);
  return s;
}

RestoreStatus PartitionRepairJob::PlanRestore(const std::string& kvb, bool confirmed, RepairPlan& plan,
                                              BackupInfo* info) {
  if (!IsOpen()) return RestoreStatus::CantOpen;
  return PlanRestoreBackup(device_, kvb, candidates_.driveName, candidates_.deviceSectors, ui_, confirmed, plan, info);
}

RepairResult PartitionRepairJob::Apply(const RepairPlan& plan) {
  RepairResult r = ApplyWithBackup(plan, true);
  return r;
}

RepairResult PartitionRepairJob::ApplyRestore(const RepairPlan& plan) {
  RepairResult r = ApplyWithBackup(plan, false);
  if (r.outcome == RepairOutcome::Nothing)
    // The disk already holds the backup's bytes: no write, so no automatic backup to name.
    ui_.MessageBox(Text(StringId::BackupSucces) + u"\r\n" + Text(StringId::PartFixNothingWritten), Text(StringId::Caption),
                   MsgIcon::Information, MsgButtons::Ok);
  else if (r.outcome == RepairOutcome::Ok)
    ui_.MessageBox(Text(StringId::BackupSucces) + u"\r\n" + Text(StringId::PartitionFixDone) + u"\r\n" +
                       ToUtf16(r.backupPath),
                   Text(StringId::Caption), MsgIcon::Information, MsgButtons::Ok);
  else if (r.outcome == RepairOutcome::BackupFailed)
    ui_.MessageBox(Text(StringId::BackupFail), Text(StringId::Caption), MsgIcon::Error, MsgButtons::Ok);
  return r;
}

RepairResult PartitionRepairJob::ApplyWithBackup(const RepairPlan& plan, bool report) {
  RepairResult r;
  if (!IsOpen()) return r;
  if (plan.Empty()) {
    r.outcome = RepairOutcome::Nothing;
    return r;
  }
  // No write without a complete, read-back backup of every sector the plan touches.
  const std::string folder = AutoBackupFolder();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::string stem = std::filesystem::path(path_).filename().string();
  std::string name = folder + "/" + stem + "-autobackup-" + UtcStamp();
  std::string candidate = name + ".kvb";
  for (int i = 1; std::filesystem::exists(candidate, ec) && i < 1000; ++i)
    candidate = name + "-" + std::to_string(i) + ".kvb";
  BackupStatus backup = BackupStatus::BadRanges;
  if (PlanCoveredByBackup(plan))
    backup = kestrova::MakeBackup(device_, candidate, candidates_.driveName, candidates_.deviceSectors, plan.backup);
  if (backup != BackupStatus::Ok) {
    r.outcome = RepairOutcome::BackupFailed;
    ui_.MessageBox(Text(StringId::PartFixBackupNotCreated) + u"\r\n\r\n" + Text(StringId::PartFixNothingWritten),
                   Text(StringId::PartitionFixCaption), MsgIcon::Error, MsgButtons::Ok);
    return r;
  }
  r.backupPath = candidate;
  r.restoreCommand = "kestrova-cli restore-backup " + ShellQuoted(candidate) + " " + ShellQuoted(path_) + " --yes";

  const ApplyResult applied = ApplyPlan(device_, plan);
  for (std::size_t i : applied.written) r.written.push_back(plan.writes[i]);
  if (!applied.ok) {
    r.outcome = RepairOutcome::WriteFailed;
    if (applied.failed < plan.writes.size()) r.failed = &plan.writes[applied.failed];
    std::u16string written;
    for (const SectorWrite& w : r.written) {
      if (!written.empty()) written += u", ";
      written += ToUtf16(std::to_string(w.sector));
      if (w.count > 1) written += u"-" + ToUtf16(std::to_string(w.sector + w.count - 1));
    }
    if (written.empty()) written = u"-";
    const std::u16string at = r.failed ? ToUtf16(std::to_string(r.failed->sector)) : u"?";
    ui_.MessageBox(FillPlaceholders(Text(StringId::PartFixWriteFailed), {at, written, ToUtf16(r.restoreCommand)}),
                   Text(StringId::PartitionFixCaption), MsgIcon::Error, MsgButtons::Ok);
  } else {
    r.outcome = RepairOutcome::Ok;
    if (report)
      ui_.MessageBox(Text(StringId::PartitionFixDone) + u"\r\n" + ToUtf16(candidate), Text(StringId::PartitionFixCaption),
                     MsgIcon::Information, MsgButtons::Ok);
  }
  // The drive is listed again: the candidates follow what is on it now.
  const std::string path = path_;
  Open(path);
  return r;
}

}  // namespace kestrova
