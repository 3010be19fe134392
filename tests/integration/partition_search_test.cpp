// The partition search on disks partitioned by sfdisk and filled by mkfs.vfat,
// mkntfs, mkfs.ext4 and mkreiserfs at test time, then damaged as users damage
// them: the table wiped, a partition deleted, an NTFS volume's first sectors
// overwritten. Deep and fast; every volume once; sessions resume.
#include "common/text.h"
#include "explore/partition_finder.h"
#include "support/cli_run.h"
#include "support/mini_json.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tools/partition_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

namespace kestrova {
namespace {

struct Expected {
  std::uint64_t start;
  std::u16string fs;
  std::u16string label;
};

// Where the volumes lie on the test disk.
constexpr std::uint64_t kFatStart = 2048, kFatCount = 69632;
constexpr std::uint64_t kNtfsStart = 73728, kNtfsCount = 20480;
constexpr std::uint64_t kExtStart = 96256, kExtCount = 16384;
constexpr std::uint64_t kReiserStart = 114688, kReiserCount = 32768;
constexpr std::uint64_t kDiskSectors = 163840;

bool Have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

class PartitionSearchDisks : public test::TempDirTest {
 protected:
  PartitionSearchDisks() : TempDirTest("kestrova-psearch") {}

  void SetUp() override {
    TempDirTest::SetUp();
    for (const char* tool : {"sfdisk", "mkfs.vfat", "mkntfs", "mkfs.ext4", "mkreiserfs", "dd", "truncate"})
      if (!Have(tool)) GTEST_SKIP() << tool << " missing: run scripts/setup.sh (fdisk, dosfstools, ntfs-3g, e2fsprogs, reiserfsprogs)";
    disk = P("disk.img");
    const std::string d = dir.string();
    const std::string script =
        "set -e; cd '" + d + "'; truncate -s " + std::to_string(kDiskSectors * 512) + " disk.img\n" +
        "printf 'label: dos\\nstart=" + std::to_string(kFatStart) + ", size=" + std::to_string(kFatCount) +
        ", type=c\\nstart=" + std::to_string(kNtfsStart) + ", size=" + std::to_string(kNtfsCount) +
        ", type=7\\nstart=" + std::to_string(kExtStart) + ", size=" + std::to_string(kExtCount) +
        ", type=83\\nstart=" + std::to_string(kReiserStart) + ", size=" + std::to_string(kReiserCount) +
        ", type=83\\n' | sfdisk -q disk.img >/dev/null\n"
        "truncate -s " + std::to_string(kFatCount * 512) + " p1.img; mkfs.vfat -F 32 -s 1 -n PSFAT -i 1234ABCD p1.img >/dev/null\n"
        "truncate -s " + std::to_string(kNtfsCount * 512) + " p2.img; mkntfs -F -q -f -L PSNTFS -p " +
        std::to_string(kNtfsStart) + " -H 255 -S 63 p2.img >/dev/null 2>&1\n"
        "truncate -s " + std::to_string(kExtCount * 512) + " p3.img; mkfs.ext4 -q -F -b 1024 -L PSEXT p3.img >/dev/null 2>&1\n"
        "truncate -s " + std::to_string(kReiserCount * 512) + " p4.img; mkreiserfs -q -f -s 513 -l PSREISER p4.img >/dev/null 2>&1\n"
        "dd if=p1.img of=disk.img bs=512 seek=" + std::to_string(kFatStart) + " conv=notrunc,sparse status=none\n"
        "dd if=p2.img of=disk.img bs=512 seek=" + std::to_string(kNtfsStart) + " conv=notrunc,sparse status=none\n"
        "dd if=p3.img of=disk.img bs=512 seek=" + std::to_string(kExtStart) + " conv=notrunc,sparse status=none\n"
        "dd if=p4.img of=disk.img bs=512 seek=" + std::to_string(kReiserStart) + " conv=notrunc,sparse status=none\n"
        "rm -f p1.img p2.img p3.img p4.img\n";
    ASSERT_EQ(std::system(script.c_str()), 0) << "making the test disk failed";
  }

  void Shell(const std::string& command) {
    ASSERT_EQ(std::system(("cd '" + dir.string() + "' && " + command).c_str()), 0) << command;
  }
  void WipeMbr() { Shell("dd if=/dev/zero of=disk.img bs=512 count=1 conv=notrunc status=none"); }

  // Runs a search to its end; the volumes found (a whole drive read as a
  // forced type left out) by start.
  std::map<std::uint64_t, FoundVolume> Search(SearchMode mode, std::vector<std::u16string>* log = nullptr) {
    PartitionFinder finder(ui);
    EXPECT_EQ(finder.Open(disk), SessionStatus::Ok);
    EXPECT_TRUE(finder.Start(mode, 0));
    finder.Wait();
    EXPECT_TRUE(finder.search()->finished());
    std::map<std::uint64_t, FoundVolume> byStart;
    for (const FoundVolume& f : finder.Found()) {
      if (IsForcedWholeDrive(f.entry)) continue;
      EXPECT_TRUE(byStart.emplace(std::uint64_t{f.entry.start}, f).second) << "listed twice: " << f.entry.start;
    }
    if (log) *log = finder.search()->Log();
    return byStart;
  }

  test::RecordingUi ui;
  std::string disk;
};

const std::vector<Expected> kVolumes = {
    {kFatStart, u"FAT32", u"PSFAT"},
    {kNtfsStart, u"NTFS", u"PSNTFS"},
    {kExtStart, u"Ext", u"PSEXT"},
    {kReiserStart, u"ReiserFS", u"PSREISER"},
};

void ExpectVolumes(const std::map<std::uint64_t, FoundVolume>& found, const std::map<std::uint64_t, PartitionStatus>& status) {
  ASSERT_EQ(found.size(), kVolumes.size());
  for (const Expected& v : kVolumes) {
    SCOPED_TRACE(ToUtf8(v.fs));
    const auto it = found.find(v.start);
    ASSERT_NE(it, found.end()) << "no volume at " << v.start;
    EXPECT_EQ(EntryFsName(it->second.entry).substr(0, v.fs.size()), v.fs);
    EXPECT_EQ(EntryLabel(it->second.entry), v.label);
    EXPECT_EQ(it->second.status, status.at(v.start));
    EXPECT_FALSE(it->second.damaged);
  }
}

TEST_F(PartitionSearchDisks, IntactTableEveryVolumeOkInBothModes) {
  for (SearchMode mode : {SearchMode::Deep, SearchMode::Fast}) {
    SCOPED_TRACE(mode == SearchMode::Deep ? "deep" : "fast");
    ExpectVolumes(Search(mode), {{kFatStart, PartitionStatus::Ok},
                                 {kNtfsStart, PartitionStatus::Ok},
                                 {kExtStart, PartitionStatus::Ok},
                                 {kReiserStart, PartitionStatus::Ok}});
  }
}

TEST_F(PartitionSearchDisks, WipedMbrEveryVolumeLostInBothModes) {
  WipeMbr();
  for (SearchMode mode : {SearchMode::Deep, SearchMode::Fast}) {
    SCOPED_TRACE(mode == SearchMode::Deep ? "deep" : "fast");
    std::vector<std::u16string> log;
    const auto found = Search(mode, &log);
    ExpectVolumes(found, {{kFatStart, PartitionStatus::Lost},
                          {kNtfsStart, PartitionStatus::Lost},
                          {kExtStart, PartitionStatus::Lost},
                          {kReiserStart, PartitionStatus::Lost}});
    // The sizes the file systems give (NTFS keeps one sector for its backup).
    EXPECT_EQ(+found.at(kFatStart).entry.sectors, kFatCount);
    EXPECT_EQ(+found.at(kNtfsStart).entry.sectors, kNtfsCount - 1);
    EXPECT_EQ(+found.at(kExtStart).entry.sectors, kExtCount);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find(u"finished."), std::u16string::npos);
  }
}

TEST_F(PartitionSearchDisks, DeletedPartitionIsTheOnlyLostOne) {
  Shell("sfdisk -q --delete disk.img 2 >/dev/null");
  ExpectVolumes(Search(SearchMode::Deep), {{kFatStart, PartitionStatus::Ok},
                                           {kNtfsStart, PartitionStatus::Lost},
                                           {kExtStart, PartitionStatus::Ok},
                                           {kReiserStart, PartitionStatus::Ok}});
}

TEST_F(PartitionSearchDisks, NtfsWithOverwrittenStartFoundThroughItsBackup) {
  WipeMbr();
  Shell("dd if=/dev/urandom of=disk.img bs=512 seek=" + std::to_string(kNtfsStart) +
        " count=16 conv=notrunc status=none");
  for (SearchMode mode : {SearchMode::Deep, SearchMode::Fast}) {
    SCOPED_TRACE(mode == SearchMode::Deep ? "deep" : "fast");
    const auto found = Search(mode);
    ASSERT_TRUE(found.count(kNtfsStart));
    const DriveEntry& e = found.at(kNtfsStart).entry;
    EXPECT_EQ(EntryFsName(e), u"NTFS");
    EXPECT_EQ(EntryLabel(e), u"PSNTFS");
    EXPECT_TRUE(e.bootDamaged);
    // The backup is the volume's last sector: start + total sectors.
    EXPECT_EQ(e.start + e.sectors - 1, kNtfsStart + kNtfsCount - 1);
    EXPECT_EQ(found.at(kNtfsStart).status, PartitionStatus::Lost);
    EXPECT_EQ(found.size(), kVolumes.size());
  }
  // And it opens at the sector the search gives.
  const test::CliRun ls = test::Cli("ls " + test::Quoted(disk) + " --sector " + std::to_string(kNtfsStart) +
                                    " --count " + std::to_string(kNtfsCount) + " --no-mft");
  EXPECT_EQ(ls.code, 0);
}

TEST_F(PartitionSearchDisks, SavedSessionResumesAtItsPositionWithItsResults) {
  WipeMbr();
  PartitionSession stored;
  {
    PartitionFinder first(ui);
    ASSERT_EQ(first.Open(disk), SessionStatus::Ok);
    ASSERT_TRUE(first.Start(SearchMode::Deep, 0));
    first.Wait();
    const auto all = first.search()->Results();
    // As if the search had been saved just after the FAT32 volume.
    stored.name = ToUtf16(disk);
    stored.deviceSectors = kDiskSectors;
    stored.mode = 0;
    stored.position = kExtStart - 1000;
    for (const DriveEntry& e : all)
      if (e.start == kFatStart) stored.results.push_back(e);
    ASSERT_EQ(stored.results.size(), 1u);
  }
  const std::string kvsp = P("search.kvsp");
  ASSERT_EQ(SavePartitionSession(kvsp, stored), SessionFileStatus::Ok);

  PartitionFinder resumed(ui);
  ASSERT_EQ(resumed.Open(disk), SessionStatus::Ok);
  PartitionSession loaded;
  ASSERT_EQ(resumed.LoadSession(kvsp, loaded), ResumeStatus::Ok);
  ASSERT_TRUE(resumed.Resume(loaded));
  resumed.Wait();
  std::set<std::uint64_t> starts;
  for (const FoundVolume& f : resumed.Found())
    if (!IsForcedWholeDrive(f.entry)) starts.insert(std::uint64_t{f.entry.start});
  // The stored FAT32 volume, then only what lies after the stored position:
  // the NTFS volume before it is not looked at again.
  EXPECT_EQ(starts, (std::set<std::uint64_t>{kFatStart, kExtStart, kReiserStart}));
  const auto log = resumed.search()->Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_NE(log[0].find(u"Total partitions detected: 1"), std::u16string::npos);
  EXPECT_NE(log[1].find(u"PSFAT"), std::u16string::npos);
  EXPECT_EQ(+resumed.search()->Results()[0].foundAt[0], +stored.results[0].foundAt[0]);

  // A session of a disk of another size is refused.
  stored.deviceSectors = kDiskSectors * 2;
  ASSERT_EQ(SavePartitionSession(kvsp, stored), SessionFileStatus::Ok);
  EXPECT_EQ(resumed.LoadSession(kvsp, loaded), ResumeStatus::OtherDisk);
}

TEST_F(PartitionSearchDisks, CommandLineSavesAndResumes) {
  WipeMbr();
  const std::string kvsp = P("cli.kvsp");
  const test::CliRun first = test::Cli("find-partitions " + test::Quoted(disk) + " --fast --json --session " + test::Quoted(kvsp));
  ASSERT_EQ(first.code, 0);
  const test::CliRun again = test::Cli("find-partitions " + test::Quoted(disk) + " --json --resume " + test::Quoted(kvsp));
  ASSERT_EQ(again.code, 0);
  // The finished session holds every result: resuming lists them again, nothing more.
  EXPECT_EQ(first.out, again.out);
  EXPECT_NE(first.out.find("\"status\":\"Lost\""), std::string::npos);
  EXPECT_NE(first.out.find("\"damaged\":false"), std::string::npos);

  const test::CliRun other = test::Cli("find-partitions " + test::Quoted(disk) + " --resume " + test::Quoted(disk));
  EXPECT_EQ(other.code, 3);  // not a session
  const test::CliRun from = test::Cli("find-partitions " + test::Quoted(disk) + " --from " + std::to_string(kExtStart) + " --json");
  EXPECT_EQ(from.code, 0);
  EXPECT_EQ(from.out.find("\"start\":2048,"), std::string::npos);
  EXPECT_NE(from.out.find("\"start\":" + std::to_string(kExtStart) + ","), std::string::npos);
}

}  // namespace
}  // namespace kestrova
