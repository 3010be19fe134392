// The quick partition restore on disks made by sfdisk, mkntfs and mkfs.vfat
// at test time and damaged as users damage them: an MBR entry deleted, a link
// of the extended chain wiped, boot sectors zeroed. After each repair the
// disk is listed and mounted by our reader and checked by the system's own
// tools; the automatic backup puts the damaged disk back byte for byte, also
// after a write that failed part-way.
#include "common/text.h"
#include "device/posix_block_source.h"
#include "explore/partition_repair_job.h"
#include "explore/volume_session.h"
#include "resources/strings.h"
#include "support/failing_writer.h"
#include "support/cli_run.h"
#include "support/recording_ui.h"
#include "support/sha256.h"
#include "support/temp_dir.h"
#include "tools/mbr_boot_code.h"
#include "volume/list_partitions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

namespace kestrova {
namespace {

bool Have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Capture(const std::string& command, int* code = nullptr) {
  std::string out;
  FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  const int status = ::pclose(p);
  if (code) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// One line of `sfdisk --dump`.
struct DumpEntry {
  std::uint64_t start = 0, size = 0;
  std::string type;
  bool bootable = false;
};
std::vector<DumpEntry> SfdiskDump(const std::string& image) {
  std::vector<DumpEntry> entries;
  std::istringstream in(Capture("sfdisk --dump '" + image + "'"));
  const std::regex line(R"(start=\s*(\d+), size=\s*(\d+), type=(\w+)(, bootable)?)");
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    entries.push_back({std::stoull(m[1]), std::stoull(m[2]), m[3], m[4].matched});
  }
  return entries;
}


constexpr std::uint64_t kNtfsCount = 20480;
constexpr std::uint64_t kFirst = 2048, kSecond = 22528;

class RepairDisks : public test::TempDirTest {
 protected:
  RepairDisks() : TempDirTest("kestrova-repair") {}

  void SetUp() override {
    TempDirTest::SetUp();
    for (const char* tool : {"sfdisk", "mkfs.vfat", "mkntfs", "ntfsinfo", "ntfsfix", "fsck.vfat", "dd", "truncate"})
      if (!Have(tool)) GTEST_SKIP() << tool << " missing: run scripts/setup.sh (fdisk, dosfstools, ntfs-3g)";
    disk = P("disk.img");
    autoDir = P("auto");
  }

  void Shell(const std::string& command) {
    ASSERT_EQ(std::system(("set -e; cd '" + dir.string() + "' && " + command).c_str()), 0) << command;
  }
  void Ntfs(std::uint64_t start, std::uint64_t count, const std::string& label) {
    Shell("truncate -s " + std::to_string(count * 512) + " part.img && mkntfs -F -q -f -L " + label + " -p " +
          std::to_string(start) + " -H 255 -S 63 part.img >/dev/null 2>&1 && dd if=part.img of=disk.img bs=512 seek=" +
          std::to_string(start) + " conv=notrunc status=none && rm part.img");
  }
  void Zero(std::uint64_t sector, std::uint64_t bytes = 512, std::uint64_t byteOffset = 0) {
    Shell("dd if=/dev/zero of=disk.img bs=1 count=" + std::to_string(bytes) + " seek=" +
          std::to_string(sector * 512 + byteOffset) + " conv=notrunc status=none");
  }
  // The volume's sectors as a file of their own, for the system's checkers.
  std::string Extract(std::uint64_t start, std::uint64_t count) {
    const std::string out = P("extract-" + std::to_string(start) + ".img");
    Shell("dd if=disk.img of='" + out + "' bs=512 skip=" + std::to_string(start) + " count=" + std::to_string(count) +
          " status=none");
    return out;
  }
  void ExpectNtfsClean(std::uint64_t start, std::uint64_t count) {
    const std::string part = Extract(start, count);
    int code = -1;
    Capture("ntfsinfo -m '" + part + "'", &code);
    EXPECT_EQ(code, 0) << "ntfsinfo refuses the volume at " << start;
    Capture("ntfsfix -n '" + part + "'", &code);
    EXPECT_EQ(code, 0) << "ntfsfix -n refuses the volume at " << start;
  }
  // Our listing and mount of every volume; returns the starts listed.
  std::vector<std::uint64_t> ListAndMount() {
    VolumeSession session(ui);
    EXPECT_EQ(session.OpenSource(disk), SessionStatus::Ok);
    std::vector<std::uint64_t> starts;
    for (std::size_t i = 0; i < session.rows().size(); ++i) {
      starts.push_back(std::uint64_t{session.rows()[i].entry.start});  // a packed field: copied, never bound
      EXPECT_EQ(session.MountRow(i), SessionStatus::Ok) << "row " << i;
    }
    return starts;
  }
  void TwoNtfsDisk() {
    Shell("truncate -s " + std::to_string(65536 * 512) + " disk.img && printf 'label: dos\\nstart=" +
          std::to_string(kFirst) + ", size=" + std::to_string(kNtfsCount) + ", type=7, bootable\\nstart=" +
          std::to_string(kSecond) + ", size=" + std::to_string(kNtfsCount) + ", type=7\\n' | sfdisk -q disk.img >/dev/null");
    Ntfs(kFirst, kNtfsCount, "FIRST");
    Ntfs(kSecond, kNtfsCount, "SECOND");
  }
  // Repairs with the job: the plan, then the write after the automatic backup.
  RepairResult Repair(PartitionRepairJob& job, RepairPlan& plan) {
    job.SetAutoBackupFolder(autoDir);
    EXPECT_EQ(job.Open(disk), SessionStatus::Ok);
    EXPECT_EQ(job.Plan(plan), PlanStatus::Ok);
    return job.Apply(plan);
  }
  void RestoreWithCli(const std::string& kvb, const std::string& expectedSha) {
    const test::CliRun r = test::Cli("restore-backup " + test::Quoted(kvb) + " " + test::Quoted(disk) +
                                     " --yes --auto-backup-dir " + test::Quoted(P("auto-restore")));
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(test::Sha256Of(disk), expectedSha) << "the backup does not give back the disk it was made of";
  }

  test::RecordingUi ui;
  std::string disk, autoDir;
};

TEST_F(RepairDisks, MbrEntryOfTheSecondNtfsVolumeComesBack) {
  TwoNtfsDisk();
  Shell("sfdisk -q --delete disk.img 2 >/dev/null");
  ASSERT_EQ(SfdiskDump(disk).size(), 1u);
  const std::string damaged = test::Sha256Of(disk);

  PartitionRepairJob job(ui);
  job.SetAutoBackupFolder(autoDir);
  ASSERT_EQ(job.Open(disk), SessionStatus::Ok);
  const RepairCandidates& c = job.candidates();
  EXPECT_EQ(c.lostPartitions, 1);
  ASSERT_EQ(c.restoreList.size(), 1u);
  EXPECT_EQ(std::uint64_t{c.restoreList[0].start}, kSecond);
  EXPECT_EQ(EntryLabel(c.restoreList[0]), u"SECOND");
  ASSERT_EQ(c.rebuilt.size(), 1u);
  EXPECT_TRUE(c.rebuilt[0].fits);
  EXPECT_EQ(c.rebuilt[0].entry.sectorCount, kNtfsCount);  // the backup boot sector included

  RepairPlan plan;
  ASSERT_EQ(job.Plan(plan), PlanStatus::Ok);
  ASSERT_EQ(plan.writes.size(), 1u);
  EXPECT_EQ(plan.writes[0].sector, 0u);
  ASSERT_EQ(plan.backup.size(), 1u);
  EXPECT_EQ(test::Sha256Of(disk), damaged) << "planning wrote to the disk";
  const RepairResult r = job.Apply(plan);
  ASSERT_EQ(r.outcome, RepairOutcome::Ok);
  ASSERT_TRUE(std::filesystem::exists(r.backupPath));
  EXPECT_EQ(std::filesystem::path(r.backupPath).parent_path(), std::filesystem::path(autoDir));
  ASSERT_FALSE(ui.boxes.empty());
  EXPECT_EQ(ui.boxes.back().text, ToUtf8(Text(StringId::PartitionFixDone)) + "\r\n" + r.backupPath);

  const std::vector<DumpEntry> dump = SfdiskDump(disk);
  ASSERT_EQ(dump.size(), 2u);
  EXPECT_EQ(dump[0].start, kFirst);
  EXPECT_TRUE(dump[0].bootable);
  EXPECT_EQ(dump[1].start, kSecond);
  EXPECT_EQ(dump[1].size, kNtfsCount);
  EXPECT_EQ(dump[1].type, "7");
  EXPECT_FALSE(dump[1].bootable);
  EXPECT_EQ(ListAndMount(), (std::vector<std::uint64_t>{kFirst, kSecond}));
  ExpectNtfsClean(kSecond, kNtfsCount);
  // Listed again after the write: nothing left to restore.
  EXPECT_TRUE(job.candidates().Empty());

  // The automatic backup written back through the job, then once more: the
  // second time nothing differs, nothing is written and no backup is named.
  RepairPlan back;
  ASSERT_EQ(job.PlanRestore(r.backupPath, true, back), RestoreStatus::Ok);
  ASSERT_EQ(job.ApplyRestore(back).outcome, RepairOutcome::Ok);
  EXPECT_EQ(test::Sha256Of(disk), damaged);
  RepairPlan again;
  ASSERT_EQ(job.PlanRestore(r.backupPath, true, again), RestoreStatus::Ok);
  ASSERT_EQ(job.ApplyRestore(again).outcome, RepairOutcome::Nothing);
  EXPECT_EQ(ui.boxes.back().text,
            ToUtf8(Text(StringId::BackupSucces)) + "\r\n" + ToUtf8(Text(StringId::PartFixNothingWritten)));

  RestoreWithCli(r.backupPath, damaged);
}

TEST_F(RepairDisks, WipedMbrGetsBothEntriesBackTheFirstActive) {
  TwoNtfsDisk();
  Zero(0);
  ASSERT_TRUE(SfdiskDump(disk).empty());
  const std::string damaged = test::Sha256Of(disk);
  PartitionRepairJob job(ui);
  RepairPlan plan;
  const RepairResult r = Repair(job, plan);
  ASSERT_EQ(r.outcome, RepairOutcome::Ok);
  const std::vector<DumpEntry> dump = SfdiskDump(disk);
  ASSERT_EQ(dump.size(), 2u);
  EXPECT_EQ(dump[0].start, kFirst);
  EXPECT_EQ(dump[0].size, kNtfsCount);
  EXPECT_TRUE(dump[0].bootable);
  EXPECT_EQ(dump[1].start, kSecond);
  EXPECT_EQ(dump[1].size, kNtfsCount);
  EXPECT_FALSE(dump[1].bootable);
  EXPECT_EQ(ListAndMount(), (std::vector<std::uint64_t>{kFirst, kSecond}));
  ExpectNtfsClean(kFirst, kNtfsCount);
  RestoreWithCli(r.backupPath, damaged);
}

TEST_F(RepairDisks, ForeignMbrCodeIsReplacedOnlyWhenTheUserSaysSoAndTheDiskSignatureStays) {
  TwoNtfsDisk();
  Shell("sfdisk -q --delete disk.img 2 >/dev/null");
  for (const MsgChoice answer : {MsgChoice::No, MsgChoice::Yes}) {
    test::RecordingUi asked;
    asked.answers.push_back(answer);
    PartitionRepairJob job(asked);
    ASSERT_EQ(job.Open(disk), SessionStatus::Ok);
    RepairPlan plan;
    ASSERT_EQ(job.Plan(plan), PlanStatus::Ok);
    ASSERT_EQ(asked.boxes.size(), 1u);
    EXPECT_EQ(asked.boxes[0].text, ToUtf8(Text(StringId::MbrCodeError)));
    ASSERT_EQ(plan.writes.size(), 1u);
    const std::vector<std::uint8_t>& before = plan.writes[0].before;
    const std::vector<std::uint8_t>& after = plan.writes[0].after;
    const auto code = StandardMbrBootCode();
    if (answer == MsgChoice::Yes) {
      EXPECT_TRUE(std::equal(code.begin(), code.begin() + kMbrDiskSignatureOffset, after.begin()));
      EXPECT_EQ(after[0], 0x33);
      EXPECT_EQ(after[1], 0xC0);
    } else {
      EXPECT_TRUE(std::equal(before.begin(), before.begin() + kMbrDiskSignatureOffset, after.begin()));
    }
    EXPECT_TRUE(std::equal(before.begin() + kMbrDiskSignatureOffset, before.begin() + 446,
                           after.begin() + kMbrDiskSignatureOffset));
  }
}

TEST_F(RepairDisks, BrokenLinkOfTheExtendedChainIsRewritten) {
  // The classic layout: a container at 2048, each logical volume one track
  // after its record, the second record right after the first volume.
  constexpr std::uint64_t kBase = 2048, kRecord2 = kBase + 63 + kNtfsCount;
  constexpr std::uint64_t kLogical1 = kBase + 63, kLogical2 = kRecord2 + 63;
  Shell("truncate -s " + std::to_string(65536 * 512) + " disk.img");
  {
    std::vector<std::uint8_t> mbr(512, 0), ebr1(512, 0), ebr2(512, 0);
    StoreMbrEntry(MakeMbrEntry(0, 0x0F, kBase, 2 * (63 + kNtfsCount)), std::span(mbr).subspan(446, 16));
    StoreMbrEntry(MakeMbrEntry(0, 0x07, kLogical1, kNtfsCount), std::span(ebr1).subspan(446, 16));
    StoreMbrEntry(MakeMbrEntry(0, 0x05, kRecord2, 63 + kNtfsCount), std::span(ebr1).subspan(462, 16));
    StoreMbrEntry(MakeMbrEntry(0, 0x07, kLogical2, kNtfsCount), std::span(ebr2).subspan(446, 16));
    // Entries of a record count from the record (first) and from the container (link).
    StoreLe32(std::span(ebr1).subspan(446, 16), 8, 63);
    StoreLe32(std::span(ebr1).subspan(462, 16), 8, static_cast<std::uint32_t>(kRecord2 - kBase));
    StoreLe32(std::span(ebr2).subspan(446, 16), 8, 63);
    for (auto* s : {&mbr, &ebr1, &ebr2}) (*s)[510] = 0x55, (*s)[511] = 0xAA;
    std::fstream f(disk, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f.write(reinterpret_cast<const char*>(mbr.data()), 512);
    f.seekp(kBase * 512);
    f.write(reinterpret_cast<const char*>(ebr1.data()), 512);
    f.seekp(kRecord2 * 512);
    f.write(reinterpret_cast<const char*>(ebr2.data()), 512);
  }
  Ntfs(kLogical1, kNtfsCount, "LOGONE");
  Ntfs(kLogical2, kNtfsCount, "LOGTWO");
  ASSERT_EQ(SfdiskDump(disk).size(), 3u) << "the crafted chain is not what sfdisk reads";
  const std::string original = test::Sha256Of(disk);
  Zero(kBase, 16, 462);  // the first record's link
  ASSERT_EQ(SfdiskDump(disk).size(), 2u);
  const std::string damaged = test::Sha256Of(disk);

  PartitionRepairJob job(ui);
  job.SetAutoBackupFolder(autoDir);
  ASSERT_EQ(job.Open(disk), SessionStatus::Ok);
  const RepairCandidates& c = job.candidates();
  ASSERT_EQ(c.extendedFixes.size(), 1u);
  EXPECT_EQ(c.extendedFixes[0].recordSector, kBase);
  EXPECT_TRUE(c.extendedFixes[0].fixLink);
  EXPECT_FALSE(c.extendedFixes[0].fixFirst);
  EXPECT_EQ(c.extendedFixes[0].nextLogicalStart, kLogical2);
  EXPECT_EQ(c.lostPartitions, 0);  // the container slot is there
  ASSERT_EQ(c.restoreList.size(), 1u);
  EXPECT_EQ(std::uint64_t{c.restoreList[0].start}, kLogical2);
  const DetailsNode details = RepairDetails(c);
  ASSERT_EQ(details.children.size(), 3u);
  ASSERT_EQ(details.children[2].children.size(), 1u);
  EXPECT_EQ(ToUtf8(details.children[2].children[0].text), ToUtf8(Text(StringId::FixEPPAtSector)) + " 2048");

  RepairPlan plan;
  ASSERT_EQ(job.Plan(plan), PlanStatus::Ok);
  ASSERT_EQ(plan.writes.size(), 1u);
  EXPECT_EQ(plan.writes[0].sector, kBase);
  ASSERT_EQ(plan.backup.size(), 2u);  // the MBR, then the record
  EXPECT_EQ(plan.backup[1].sector, kBase);
  const RepairResult r = job.Apply(plan);
  ASSERT_EQ(r.outcome, RepairOutcome::Ok);
  EXPECT_EQ(test::Sha256Of(disk), original) << "the link is not the one the chain had";
  const std::vector<DumpEntry> dump = SfdiskDump(disk);
  ASSERT_EQ(dump.size(), 3u);
  EXPECT_EQ(dump[2].start, kLogical2);
  EXPECT_EQ(dump[2].size, kNtfsCount);
  EXPECT_EQ(ListAndMount(), (std::vector<std::uint64_t>{kLogical1, kLogical2}));
  ExpectNtfsClean(kLogical2, kNtfsCount);

  RestoreWithCli(r.backupPath, damaged);
}

TEST_F(RepairDisks, ZeroedNtfsBootSectorComesFromItsBackup) {
  Shell("truncate -s " + std::to_string(32768 * 512) + " disk.img && printf 'label: dos\\nstart=2048, size=" +
        std::to_string(kNtfsCount) + ", type=7\\n' | sfdisk -q disk.img >/dev/null");
  Ntfs(kFirst, kNtfsCount, "BOOTLESS");
  const std::string original = test::Sha256Of(disk);
  Zero(kFirst);
  const std::string damaged = test::Sha256Of(disk);

  PartitionRepairJob job(ui);
  job.SetAutoBackupFolder(autoDir);
  ASSERT_EQ(job.Open(disk), SessionStatus::Ok);
  ASSERT_EQ(job.candidates().damagedBoot.size(), 1u);
  RepairPlan plan;
  ASSERT_EQ(job.Plan(plan), PlanStatus::Ok);
  ASSERT_EQ(plan.writes.size(), 1u);  // the boot sector alone: the loader sectors stay
  EXPECT_EQ(plan.writes[0].sector, kFirst);
  EXPECT_EQ(plan.writes[0].count, 1u);
  ASSERT_EQ(plan.notes.size(), 1u);
  EXPECT_EQ(plan.notes[0], Text(StringId::PartFixNtfsLoaderNote));
  // The backup keeps the MBR and the volume's first 8192 bytes.
  ASSERT_EQ(plan.backup.size(), 2u);
  EXPECT_EQ(plan.backup[1].sector, kFirst);
  EXPECT_EQ(plan.backup[1].count, 16u);
  const RepairResult r = job.Apply(plan);
  ASSERT_EQ(r.outcome, RepairOutcome::Ok);
  EXPECT_EQ(test::Sha256Of(disk), original);
  EXPECT_EQ(ListAndMount(), (std::vector<std::uint64_t>{kFirst}));
  ExpectNtfsClean(kFirst, kNtfsCount);

  BackupInfo stored;
  ASSERT_EQ(ReadBackupInfo(r.backupPath, 512, stored), BackupReadStatus::Ok);
  ASSERT_EQ(stored.blocks.size(), 2u);  // sector 0, then 16 sectors at the volume's start
  EXPECT_EQ(stored.blocks[0].sector, 0u);
  EXPECT_EQ(stored.blocks[0].count, 1u);
  EXPECT_EQ(stored.blocks[1].sector, kFirst);
  EXPECT_EQ(stored.blocks[1].count, 16u);
  EXPECT_EQ(stored.name, ToUtf16(disk.size() > 63 ? disk.substr(disk.size() - 63) : disk));
  const test::CliRun info = test::Cli("backup-info --json " + test::Quoted(r.backupPath));
  EXPECT_EQ(info.code, 0);
  EXPECT_NE(info.out.find("\"sector\":2048,\"count\":16"), std::string::npos) << info.out;
  RestoreWithCli(r.backupPath, damaged);
}

TEST_F(RepairDisks, Fat32BootSectorComesFromSectorSix) {
  constexpr std::uint64_t kFatCount = 69632;
  Shell("truncate -s " + std::to_string((kFirst + kFatCount + 2048) * 512) + " disk.img && printf 'label: dos\\nstart=2048, size=" +
        std::to_string(kFatCount) + ", type=c\\n' | sfdisk -q disk.img >/dev/null && truncate -s " +
        std::to_string(kFatCount * 512) + " part.img && mkfs.vfat -F 32 -s 1 -n REPAIRFAT -h 2048 part.img >/dev/null && "
        "dd if=part.img of=disk.img bs=512 seek=2048 conv=notrunc status=none && rm part.img");
  const std::string original = test::Sha256Of(disk);
  Zero(kFirst);
  const std::string damaged = test::Sha256Of(disk);

  PartitionRepairJob job(ui);
  RepairPlan plan;
  const RepairResult r = Repair(job, plan);
  ASSERT_EQ(r.outcome, RepairOutcome::Ok);
  ASSERT_EQ(plan.writes.size(), 1u);
  EXPECT_EQ(plan.writes[0].sector, kFirst);
  EXPECT_EQ(test::Sha256Of(disk), original);
  EXPECT_EQ(ListAndMount(), (std::vector<std::uint64_t>{kFirst}));
  int code = -1;
  Capture("fsck.vfat -n '" + Extract(kFirst, kFatCount) + "'", &code);
  EXPECT_EQ(code, 0);
  RestoreWithCli(r.backupPath, damaged);
}

TEST_F(RepairDisks, FailedWriteStopsAtOnceAndTheAutomaticBackupPutsTheDiskBack) {
  TwoNtfsDisk();
  Shell("sfdisk -q --delete disk.img 2 >/dev/null");
  Zero(kFirst);  // two writes then: the MBR, the first volume's boot sector
  const std::string damaged = test::Sha256Of(disk);

  PartitionRepairJob job(ui);
  auto calls = std::make_shared<int>(0);
  const std::string path = disk;
  job.SetReopen([path, calls](bool writable, int& error) -> std::unique_ptr<BlockSource> {
    OpenResult r = OpenPosixSource(path, writable ? OpenAccess::ReadWrite : OpenAccess::ReadOnly);
    error = r.error;
    if (!r.source) return nullptr;
    return std::make_unique<test::FailingWriter>(std::move(r.source), calls, 2);
  });
  RepairPlan plan;
  const RepairResult r = Repair(job, plan);
  ASSERT_EQ(plan.writes.size(), 2u);
  ASSERT_EQ(r.outcome, RepairOutcome::WriteFailed);
  ASSERT_EQ(r.written.size(), 1u);
  EXPECT_EQ(r.written[0].sector, 0u);
  ASSERT_NE(r.failed, nullptr);
  EXPECT_EQ(r.failed->sector, kFirst);
  EXPECT_NE(test::Sha256Of(disk), damaged);
  ASSERT_FALSE(ui.boxes.empty());
  EXPECT_NE(ui.boxes.back().text.find(r.restoreCommand), std::string::npos);
  EXPECT_EQ(r.restoreCommand.rfind("kestrova-cli restore-backup ", 0), 0u);

  RestoreWithCli(r.backupPath, damaged);
}

TEST_F(RepairDisks, CommandLineShowsThePlanAndWritesOnlyWithYes) {
  TwoNtfsDisk();
  const std::string intact = test::Sha256Of(disk);
  test::CliRun r = test::Cli("repair " + test::Quoted(disk) + " --json");
  EXPECT_EQ(r.code, 1);  // nothing to restore
  EXPECT_NE(r.out.find("\"status\":\"nothing-to-restore\""), std::string::npos) << r.out;

  Shell("sfdisk -q --delete disk.img 2 >/dev/null");
  const std::string damaged = test::Sha256Of(disk);
  r = test::Cli("repair " + test::Quoted(disk));
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("write 1 sector(s) at 0: MBR"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0001d0 after:"), std::string::npos) << r.out;  // the second slot's row
  EXPECT_NE(r.out.find("dry run"), std::string::npos);
  EXPECT_EQ(test::Sha256Of(disk), damaged);

  // A file that is no backup writes nothing.
  const std::string junk = WriteFile("junk.kvb", std::string(4096, 'x'));
  r = test::Cli("restore-backup " + test::Quoted(junk) + " " + test::Quoted(disk) + " --yes");
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(test::Sha256Of(disk), damaged);

  const std::string kvb = P("manual.kvb");
  r = test::Cli("repair " + test::Quoted(disk) + " --yes --backup " + test::Quoted(kvb) + " --auto-backup-dir " +
                test::Quoted(autoDir));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("automatic backup: "), std::string::npos);
  EXPECT_EQ(SfdiskDump(disk).size(), 2u);
  r = test::Cli("backup-info " + test::Quoted(kvb));
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("blocks:  1"), std::string::npos) << r.out;
  // The backup names the image: restored onto a copy of another size it is refused.
  Shell("cp disk.img other.img && truncate -s +1M other.img");
  r = test::Cli("restore-backup " + test::Quoted(kvb) + " " + test::Quoted(P("other.img")) + " --yes");
  EXPECT_EQ(r.code, 4);
  RestoreWithCli(kvb, damaged);
  (void)intact;
}

}  // namespace
}  // namespace kestrova
