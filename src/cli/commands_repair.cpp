// "repair SOURCE": what the quick partition restore would write (the details
// and every changed sector before and after), written only with --yes after
// the automatic backup; "restore-backup FILE SOURCE" and "backup-info FILE".
#include "cli/browse.h"
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/terminal_ui.h"
#include "common/text.h"
#include "explore/partition_repair_job.h"
#include "resources/strings.h"

#include <cstdio>
#include <string>

namespace kestrova::cli {
namespace {

// The terminal Ui that answers Yes to the questions the options allow.
class RepairUi : public TerminalUi {
 public:
  explicit RepairUi(bool replaceMbrCode) : replaceMbrCode_(replaceMbrCode) {}
  MsgChoice MessageBox(std::u16string_view text, std::u16string_view caption, MsgIcon icon,
                       MsgButtons buttons) override {
    const MsgChoice answer = TerminalUi::MessageBox(text, caption, icon, buttons);
    if (replaceMbrCode_ && buttons == MsgButtons::YesNo && text == Text(StringId::MbrCodeError)) return MsgChoice::Yes;
    return answer;
  }

 private:
  bool replaceMbrCode_;
};

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(n * 3);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string HexRun(const std::vector<std::uint8_t>& b) { return Hex(b.data(), b.size()); }

std::string U8(std::u16string_view s) { return EscapeControls(ToUtf8(s)); }

void PrintTree(const DetailsNode& node, int depth) {
  std::printf("%*s%s\n", depth * 2, "", U8(node.text).c_str());
  for (const DetailsNode& child : node.children) PrintTree(child, depth + 1);
}

void TreeJson(JsonWriter& json, const DetailsNode& node) {
  json.BeginObject().Key("text").String(U8(node.text)).Key("children").BeginArray();
  for (const DetailsNode& child : node.children) TreeJson(json, child);
  json.EndArray().EndObject();
}

// The 16-byte rows of a write that change, before and after.
void PrintWrite(const SectorWrite& w) {
  std::printf("write %u sector(s) at %llu: %s\n", w.count, static_cast<unsigned long long>(w.sector), U8(w.what).c_str());
  for (std::size_t row = 0; row + 16 <= w.after.size(); row += 16) {
    if (std::equal(w.before.begin() + row, w.before.begin() + row + 16, w.after.begin() + row)) continue;
    std::printf("  %06zx before: %s\n", row, Hex(w.before.data() + row, 16).c_str());
    std::printf("  %06zx after:  %s\n", row, Hex(w.after.data() + row, 16).c_str());
  }
}

void PlanJson(JsonWriter& json, const RepairPlan& plan) {
  json.Key("writes").BeginArray();
  for (const SectorWrite& w : plan.writes) {
    json.BeginObject().Key("sector").Number(w.sector).Key("count").Number(w.count).Key("what").String(U8(w.what));
    json.Key("before").String(HexRun(w.before)).Key("after").String(HexRun(w.after)).EndObject();
  }
  json.EndArray();
  json.Key("backupBlocks").BeginArray();
  for (const BackupRange& r : plan.backup)
    json.BeginObject().Key("sector").Number(r.sector).Key("count").Number(r.count).EndObject();
  json.EndArray();
  json.Key("notes").BeginArray();
  for (const std::u16string& n : plan.notes) json.String(U8(n));
  json.EndArray();
}

void PrintPlan(const RepairPlan& plan) {
  for (const SectorWrite& w : plan.writes) PrintWrite(w);
  for (const std::u16string& n : plan.notes) std::printf("note: %s\n", U8(n).c_str());
  if (plan.writes.empty()) std::printf("nothing differs on the disk: nothing to write\n");
}

const char* PlanStatusName(PlanStatus s) {
  switch (s) {
    case PlanStatus::Ok: return "ok";
    case PlanStatus::NothingToRestore: return "nothing-to-restore";
    case PlanStatus::SecondExtended: return "second-extended";
    case PlanStatus::NoRoomDeclined: return "no-room";
    case PlanStatus::ReadFailed: return "read-failed";
  }
  return "?";
}

const char* OutcomeName(RepairOutcome o) {
  switch (o) {
    case RepairOutcome::Ok: return "written";
    case RepairOutcome::Nothing: return "nothing";
    case RepairOutcome::BackupFailed: return "backup-failed";
    case RepairOutcome::WriteFailed: return "write-failed";
    case RepairOutcome::NotOpen: return "not-open";
  }
  return "?";
}

int ExitOf(const RepairResult& r) {
  switch (r.outcome) {
    case RepairOutcome::Ok:
    case RepairOutcome::Nothing: return kExitOk;
    case RepairOutcome::BackupFailed: return kExitIncomplete;
    case RepairOutcome::WriteFailed: return kExitWriteFailed;
    case RepairOutcome::NotOpen: return kExitCantOpen;
  }
  return kExitIncomplete;
}

void PrintResult(const RepairResult& r) {
  if (!r.backupPath.empty()) std::printf("automatic backup: %s\n", EscapeControls(r.backupPath).c_str());
  for (const SectorWrite& w : r.written)
    std::printf("written: %u sector(s) at %llu\n", w.count, static_cast<unsigned long long>(w.sector));
  if (r.outcome == RepairOutcome::WriteFailed) {
    if (r.failed) std::printf("FAILED: the write at sector %llu\n", static_cast<unsigned long long>(r.failed->sector));
    std::printf("to put the written sectors back: %s\n", r.restoreCommand.c_str());
  }
}

void ResultJson(JsonWriter& json, const RepairResult& r) {
  json.Key("outcome").String(OutcomeName(r.outcome)).Key("autoBackup").String(r.backupPath);
  json.Key("written").BeginArray();
  for (const SectorWrite& w : r.written) json.BeginObject().Key("sector").Number(w.sector).Key("count").Number(w.count).EndObject();
  json.EndArray();
  if (r.failed) json.Key("failedSector").Number(r.failed->sector);
  if (!r.restoreCommand.empty()) json.Key("restoreCommand").String(r.restoreCommand);
}

}  // namespace

int RunRepair(const RepairOptions& o) {
  RepairUi ui(o.replaceMbrCode);
  PartitionRepairJob job(ui);
  if (!o.autoBackupDir.empty()) job.SetAutoBackupFolder(o.autoBackupDir);
  if (SessionStatus s = job.Open(o.source); s != SessionStatus::Ok) return ReportSessionStatus(s, o.source);
  const DetailsNode details = RepairDetails(job.candidates());
  if (!o.backup.empty() && job.MakeBackup(o.backup) != BackupStatus::Ok) {
    std::fprintf(stderr, "kestrova-cli: the backup %s was not written\n", o.backup.c_str());
    return kExitIncomplete;
  }
  RepairPlan plan;
  const PlanStatus status = job.Plan(plan, o.noRoomOk);
  const bool write = status == PlanStatus::Ok && o.yes && !o.dryRun && !plan.Empty();
  RepairResult result;
  if (write) result = job.Apply(plan);

  if (o.json) {
    JsonWriter json;
    json.BeginObject().Key("source").String(EscapeControls(o.source));
    json.Key("details");
    TreeJson(json, details);
    json.Key("status").String(PlanStatusName(status));
    PlanJson(json, plan);
    json.Key("dryRun").Bool(!write);
    if (write) ResultJson(json, result);
    json.EndObject();
    std::printf("%s\n", json.str().c_str());
  } else {
    PrintTree(details, 0);
    if (status == PlanStatus::Ok) {
      PrintPlan(plan);
      if (!write && !plan.Empty()) std::printf("dry run: nothing written (--yes writes, after an automatic backup)\n");
    }
    if (write) PrintResult(result);
  }
  switch (status) {
    case PlanStatus::Ok: return write ? ExitOf(result) : kExitOk;
    case PlanStatus::NothingToRestore: return kExitNotFound;
    case PlanStatus::SecondExtended:
    case PlanStatus::NoRoomDeclined: return kExitIncomplete;
    case PlanStatus::ReadFailed: return kExitCantOpen;
  }
  return kExitIncomplete;
}

int RunRestoreBackup(const RestoreBackupOptions& o) {
  TerminalUi ui;
  PartitionRepairJob job(ui);
  if (!o.autoBackupDir.empty()) job.SetAutoBackupFolder(o.autoBackupDir);
  BackupInfo info;
  // Read and checked before the source is even opened: a foreign file writes nothing.
  switch (ReadBackupInfo(o.file, 512, info)) {
    case BackupReadStatus::Ok: break;
    case BackupReadStatus::CantOpen:
      std::fprintf(stderr, "kestrova-cli: %s cannot be read\n", o.file.c_str());
      return kExitCantOpen;
    case BackupReadStatus::NotKvb:
    case BackupReadStatus::Corrupt:
      std::fprintf(stderr, "kestrova-cli: %s: %s\n", o.file.c_str(), U8(Text(StringId::BadBackupFile)).c_str());
      return kExitBadData;
  }
  if (SessionStatus s = job.Open(o.source); s != SessionStatus::Ok) return ReportSessionStatus(s, o.source);
  const RepairCandidates& c = job.candidates();
  if (!BackupMatchesDevice(info, c.driveName, c.deviceSectors) && !o.otherDisk) {
    std::fprintf(stderr,
                 "kestrova-cli: %s was made of %s (%llu sectors), not of %s (%llu sectors); --other-disk writes it anyway\n",
                 o.file.c_str(), U8(info.name).c_str(), static_cast<unsigned long long>(info.deviceSectors),
                 o.source.c_str(), static_cast<unsigned long long>(c.deviceSectors));
    return kExitBadData;
  }
  RepairPlan plan;
  switch (job.PlanRestore(o.file, true, plan, &info)) {
    case RestoreStatus::Ok: break;
    case RestoreStatus::OutsideDevice:
      std::fprintf(stderr, "kestrova-cli: %s holds sectors past the end of %s\n", o.file.c_str(), o.source.c_str());
      return kExitBadData;
    case RestoreStatus::CantOpen:
    case RestoreStatus::ReadFailed: return kExitCantOpen;
    default: return kExitBadData;
  }
  PrintPlan(plan);
  if (!o.yes) {
    if (!plan.Empty()) std::printf("dry run: nothing written (--yes writes, after an automatic backup)\n");
    return kExitOk;
  }
  const RepairResult r = job.ApplyRestore(plan);
  PrintResult(r);
  return ExitOf(r);
}

int RunBackupInfo(const BackupInfoOptions& o) {
  BackupInfo info;
  switch (ReadBackupInfo(o.file, o.sectorSize, info)) {
    case BackupReadStatus::Ok: break;
    case BackupReadStatus::CantOpen:
      std::fprintf(stderr, "kestrova-cli: %s cannot be read\n", o.file.c_str());
      return kExitCantOpen;
    case BackupReadStatus::NotKvb:
    case BackupReadStatus::Corrupt:
      std::fprintf(stderr, "kestrova-cli: %s: %s\n", o.file.c_str(), U8(Text(StringId::BadBackupFile)).c_str());
      return kExitBadData;
  }
  if (o.json) {
    JsonWriter json;
    json.BeginObject().Key("name").String(U8(info.name)).Key("deviceSectors").Number(info.deviceSectors);
    json.Key("sectorSize").Number(info.sectorSize).Key("fileSize").Number(info.fileSize);
    json.Key("blocks").BeginArray();
    for (const BackupBlockInfo& b : info.blocks)
      json.BeginObject().Key("sector").Number(b.sector).Key("count").Number(b.count).Key("offset").Number(b.offset).EndObject();
    json.EndArray().EndObject();
    std::printf("%s\n", json.str().c_str());
    return kExitOk;
  }
  std::printf("disk:    %s\n", U8(info.name).c_str());
  std::printf("sectors: %llu\n", static_cast<unsigned long long>(info.deviceSectors));
  std::printf("blocks:  %zu (of %u-byte sectors)\n", info.blocks.size(), info.sectorSize);
  for (const BackupBlockInfo& b : info.blocks)
    std::printf("  sector %llu, %u sector(s), at byte %llu\n", static_cast<unsigned long long>(b.sector), b.count,
                static_cast<unsigned long long>(b.offset));
  return kExitOk;
}

}  // namespace kestrova::cli
