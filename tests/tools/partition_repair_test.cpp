// The window's checks before "&Restore", the plan's safety rules and the .kvb
// backup file on crafted in-memory disks: its layout, its hostile variants,
// and a backup that cannot be completed.
#include "common/text.h"
#include "device/memory_block_source.h"
#include "device/sector_device.h"
#include "resources/strings.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tools/partition_repair.h"
#include "tools/repair_backup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace kestrova {
namespace {

constexpr std::uint64_t kSectors = 128;

class RepairDisk : public test::TempDirTest {
 protected:
  RepairDisk() : TempDirTest("kestrova-repair-unit") {}
  void SetUp() override {
    TempDirTest::SetUp();
    shared = std::make_shared<MemoryBlockSource::Shared>();
    shared->data.resize(kSectors * 512);
    for (std::size_t i = 0; i < shared->data.size(); ++i) shared->data[i] = static_cast<std::uint8_t>(i * 7 + i / 512);
    shared->writable = true;
    device.Attach(std::make_unique<MemoryBlockSource>(shared), nullptr);
    device.GeometryForMount().deviceSectors = kSectors;
  }
  std::string Bytes(const std::vector<std::uint8_t>& b) { return std::string(b.begin(), b.end()); }
  std::vector<std::uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  ScanFlags scan;
  SectorDevice device{scan};
  std::shared_ptr<MemoryBlockSource::Shared> shared;
  test::RecordingUi ui;
};

TEST(RestoreChecks, WindowMessagesInOrder) {
  struct Case {
    const char* name;
    int damaged, lost, fixes, wrongSlots, extendedRebuilt;
    bool driveHasExtended;
    MsgChoice answer;
    RestoreCheck expected;
    StringId message;
  };
  const Case cases[] = {
      {"nothing", 0, 0, 0, 4, 0, false, MsgChoice::Ok, RestoreCheck::NothingToRestore, StringId::PartFixNothingToRestore},
      {"two extended", 0, 2, 0, 4, 2, false, MsgChoice::Ok, RestoreCheck::SecondExtended,
       StringId::PartFixOnlyOneExtendedPartition},
      {"extended beside one", 0, 1, 0, 4, 1, true, MsgChoice::Ok, RestoreCheck::SecondExtended,
       StringId::PartFixOnlyOneExtendedPartition},
      {"no room, No", 0, 3, 0, 1, 0, false, MsgChoice::No, RestoreCheck::NoRoomDeclined, StringId::PartFixThereIsNoRoom},
      {"no room, Yes", 0, 3, 0, 1, 0, false, MsgChoice::Yes, RestoreCheck::Ok, StringId::PartFixThereIsNoRoom},
      {"boot record only", 1, 0, 0, 0, 0, false, MsgChoice::Ok, RestoreCheck::Ok, StringId::Caption},
      {"extended fix only", 0, 0, 1, 0, 0, true, MsgChoice::Ok, RestoreCheck::Ok, StringId::Caption},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    RepairCandidates c;
    for (int i = 0; i < k.damaged; ++i) c.damagedBoot.push_back(MakeDriveEntry());
    for (int i = 0; i < k.lost; ++i) {
      const std::uint8_t type = i < k.extendedRebuilt ? 0x0F : 0x07;
      c.rebuilt.push_back({MakeMbrEntry(0, type, static_cast<std::uint32_t>(2048 * (i + 1)), 1000), true});
    }
    c.lostPartitions = k.lost;
    for (int i = 0; i < k.fixes; ++i) c.extendedFixes.push_back(ExtendedFix{});
    c.listing.wrongMbrEntries = k.wrongSlots;
    c.listing.hasExtended = k.driveHasExtended;
    test::RecordingUi ui;
    ui.answers.push_back(k.answer);
    EXPECT_EQ(CheckRestore(c, ui), k.expected);
    if (k.message == StringId::Caption) {
      EXPECT_TRUE(ui.boxes.empty());
    } else {
      ASSERT_EQ(ui.boxes.size(), 1u);
      EXPECT_EQ(ui.boxes[0].text, ToUtf8(Text(k.message)));
    }
  }
  // Confirmed once, the no-room question is not asked again.
  RepairCandidates c;
  c.rebuilt.push_back({MakeMbrEntry(0, 7, 2048, 100), true});
  c.rebuilt.push_back({MakeMbrEntry(0, 7, 4096, 100), false});
  c.lostPartitions = 2;
  c.listing.wrongMbrEntries = 1;
  test::RecordingUi quiet;
  EXPECT_EQ(CheckRestore(c, quiet, true), RestoreCheck::Ok);
  EXPECT_TRUE(quiet.boxes.empty());
}

TEST_F(RepairDisk, BackupHoldsTheBlocksInOrderWithTheStatedHeader) {
  const std::vector<BackupRange> ranges{{0, 1}, {40, 1}, {64, 16}};
  const std::string path = P("disk.kvb");
  ASSERT_EQ(MakeBackup(device, path, u"disk.img", kSectors, ranges), BackupStatus::Ok);
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
  const std::vector<std::uint8_t> file = FileBytes(path);
  ASSERT_EQ(file.size(), 148u + 12 * 3 + 18 * 512);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "KVBK");
  std::uint64_t sectors = 0;
  std::memcpy(&sectors, file.data() + 4, 8);
  EXPECT_EQ(sectors, kSectors);
  EXPECT_EQ(FieldText(std::span<const std::uint8_t>(file.data() + 12, 128)), u"disk.img");
  std::uint32_t blocks = 0, zero = 1;
  std::memcpy(&blocks, file.data() + 140, 4);
  std::memcpy(&zero, file.data() + 144, 4);
  EXPECT_EQ(blocks, 3u);
  EXPECT_EQ(zero, 0u);
  std::size_t at = 148;
  for (const BackupRange& r : ranges) {
    std::uint64_t s = 0;
    std::uint32_t n = 0;
    std::memcpy(&s, file.data() + at, 8);
    std::memcpy(&n, file.data() + at + 8, 4);
    EXPECT_EQ(s, r.sector);
    EXPECT_EQ(n, r.count);
    EXPECT_EQ(0, std::memcmp(file.data() + at + 12, shared->data.data() + r.sector * 512, n * 512));
    at += 12 + n * 512;
  }
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(path, 512, info), BackupReadStatus::Ok);
  EXPECT_EQ(info.name, u"disk.img");
  ASSERT_EQ(info.blocks.size(), 3u);
  EXPECT_EQ(info.blocks[2].sector, 64u);
  EXPECT_EQ(info.blocks[2].count, 16u);
}

TEST_F(RepairDisk, UnreadableSectorLeavesNoBackupAtAll) {
  shared->badSectors.insert(70);
  const std::vector<BackupRange> ranges{{0, 1}, {64, 16}};
  const std::string path = P("disk.kvb");
  EXPECT_EQ(MakeBackup(device, path, u"disk.img", kSectors, ranges), BackupStatus::ReadFailed);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
  // Blocks outside the device or empty blocks are refused before a file is made.
  EXPECT_EQ(MakeBackup(device, path, u"d", kSectors, std::vector<BackupRange>{{120, 16}}), BackupStatus::BadRanges);
  EXPECT_EQ(MakeBackup(device, path, u"d", kSectors, std::vector<BackupRange>{{0, 0}}), BackupStatus::BadRanges);
  EXPECT_EQ(MakeBackup(device, path, u"d", kSectors, std::vector<BackupRange>{}), BackupStatus::BadRanges);
  EXPECT_FALSE(std::filesystem::exists(path));
}

// A valid backup as bytes, for the hostile variants.
std::vector<std::uint8_t> ValidKvb(std::uint64_t sectors, std::vector<std::pair<std::uint64_t, std::uint32_t>> blocks) {
  std::vector<std::uint8_t> b(148, 0);
  std::memcpy(b.data(), "KVBK", 4);
  std::memcpy(b.data() + 4, &sectors, 8);
  SetFieldText(std::span<std::uint8_t>(b.data() + 12, 128), u"disk");
  const auto count = static_cast<std::uint32_t>(blocks.size());
  std::memcpy(b.data() + 140, &count, 4);
  for (const auto& [sector, n] : blocks) {
    std::uint8_t head[12];
    std::memcpy(head, &sector, 8);
    std::memcpy(head + 8, &n, 4);
    b.insert(b.end(), head, head + 12);
    b.resize(b.size() + n * 512, 0x5A);
  }
  return b;
}

TEST_F(RepairDisk, HostileBackupFilesAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    BackupReadStatus read;
    RestoreStatus restore;
  };
  auto set32 = [](std::vector<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
    return b;
  };
  const auto valid = ValidKvb(kSectors, {{0, 1}, {10, 2}});
  auto withTail = valid;
  withTail.push_back(0);
  auto truncated = valid;
  truncated.resize(valid.size() - 1);
  auto notKvb = valid;
  notKvb[0] = 'X';
  const std::vector<Case> cases = {
      {"empty file", {}, BackupReadStatus::NotKvb, RestoreStatus::NotKvb},
      {"other magic", notKvb, BackupReadStatus::NotKvb, RestoreStatus::NotKvb},
      {"header cut", std::vector<std::uint8_t>(valid.begin(), valid.begin() + 100), BackupReadStatus::Corrupt,
       RestoreStatus::Corrupt},
      {"no blocks", set32(valid, 140, 0), BackupReadStatus::Corrupt, RestoreStatus::Corrupt},
      {"huge block count", set32(valid, 140, 0xFFFFFFFF), BackupReadStatus::Corrupt, RestoreStatus::Corrupt},
      {"more blocks than stored", set32(valid, 140, 3), BackupReadStatus::Corrupt, RestoreStatus::Corrupt},
      {"non-zero reserved", set32(valid, 144, 1), BackupReadStatus::Corrupt, RestoreStatus::Corrupt},
      {"zero sectors in a block", set32(valid, 148 + 8, 0), BackupReadStatus::Corrupt, RestoreStatus::Corrupt},
      {"huge sector count", set32(valid, 148 + 8, 0x7FFFFFFF), BackupReadStatus::Corrupt, RestoreStatus::Corrupt},
      {"trailing byte", withTail, BackupReadStatus::Corrupt, RestoreStatus::Corrupt},
      {"last block cut", truncated, BackupReadStatus::Corrupt, RestoreStatus::Corrupt},
      {"past the device", ValidKvb(kSectors, {{0, 1}, {kSectors - 1, 2}}), BackupReadStatus::Ok,
       RestoreStatus::OutsideDevice},
      {"sector near 2^64", ValidKvb(kSectors, {{~std::uint64_t{0} - 1, 1}}), BackupReadStatus::Ok,
       RestoreStatus::OutsideDevice},
  };
  const std::vector<std::uint8_t> original = shared->data;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string path = WriteFile("hostile.kvb", Bytes(k.bytes));
    BackupInfo info;
    EXPECT_EQ(ReadBackupInfo(path, 512, info), k.read);
    RepairPlan plan;
    test::RecordingUi answers;
    for (int i = 0; i < 4; ++i) answers.answers.push_back(MsgChoice::Yes);
    EXPECT_EQ(PlanRestoreBackup(device, path, u"disk", kSectors, answers, false, plan), k.restore);
    EXPECT_TRUE(plan.writes.empty());
    if (k.restore == RestoreStatus::NotKvb) {
      ASSERT_FALSE(answers.boxes.empty());
      EXPECT_EQ(answers.boxes[0].text, ToUtf8(Text(StringId::BadBackupFile)));
    }
  }
  EXPECT_EQ(shared->data, original);
}

TEST_F(RepairDisk, OtherDiskIsRefusedUnlessConfirmedAndTheQuestionNamesTheStoredDisk) {
  const std::string path = WriteFile("other.kvb", Bytes(ValidKvb(kSectors + 1, {{3, 1}})));
  RepairPlan plan;
  test::RecordingUi no;
  no.answers.push_back(MsgChoice::No);
  EXPECT_EQ(PlanRestoreBackup(device, path, u"disk", kSectors, no, false, plan), RestoreStatus::Mismatch);
  EXPECT_TRUE(plan.writes.empty());

  test::RecordingUi yesThenNo;
  yesThenNo.answers = {MsgChoice::Yes, MsgChoice::No};
  EXPECT_EQ(PlanRestoreBackup(device, path, u"disk", kSectors, yesThenNo, false, plan), RestoreStatus::Declined);
  ASSERT_EQ(yesThenNo.boxes.size(), 2u);
  EXPECT_EQ(yesThenNo.boxes[1].text.rfind(ToUtf8(Text(StringId::BackupQuestion)) + " disk (", 0), 0u);

  test::RecordingUi yes;
  yes.answers = {MsgChoice::Yes, MsgChoice::Yes};
  ASSERT_EQ(PlanRestoreBackup(device, path, u"disk", kSectors, yes, false, plan), RestoreStatus::Ok);
  ASSERT_EQ(plan.writes.size(), 1u);
  EXPECT_EQ(plan.writes[0].sector, 3u);
  EXPECT_EQ(plan.writes[0].after, std::vector<std::uint8_t>(512, 0x5A));
  EXPECT_EQ(0, std::memcmp(plan.writes[0].before.data(), shared->data.data() + 3 * 512, 512));
}

TEST_F(RepairDisk, ApplyStopsWhenTheDiskNoLongerHoldsWhatThePlanSaw) {
  RepairPlan plan;
  for (std::uint64_t s : {5, 6}) {
    SectorWrite w;
    w.sector = s;
    w.count = 1;
    w.before.assign(shared->data.begin() + s * 512, shared->data.begin() + (s + 1) * 512);
    w.after.assign(512, static_cast<std::uint8_t>(s));
    plan.writes.push_back(w);
  }
  plan.backup = {{5, 1}};
  EXPECT_FALSE(PlanCoveredByBackup(plan));  // sector 6 is in no backup block
  plan.backup = {{5, 2}};
  EXPECT_TRUE(PlanCoveredByBackup(plan));

  shared->data[6 * 512] ^= 0xFF;  // changed after the plan was made
  const std::vector<std::uint8_t> changed = shared->data;
  const ApplyResult r = ApplyPlan(device, plan);
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.written.size(), 1u);
  EXPECT_EQ(r.failed, 1u);
  EXPECT_EQ(shared->data[5 * 512], 5);
  EXPECT_EQ(0, std::memcmp(shared->data.data() + 6 * 512, changed.data() + 6 * 512, 512));
}

TEST_F(RepairDisk, OverlappingBlocksRestoreInOrder) {
  // A volume at sector 0 with a damaged boot sector: the MBR block and the
  // boot block overlap; the later block's "before" is what the earlier wrote.
  const std::vector<std::uint8_t> original = shared->data;
  const std::string path = P("overlap.kvb");
  ASSERT_EQ(MakeBackup(device, path, u"disk", kSectors, std::vector<BackupRange>{{0, 1}, {0, 16}}), BackupStatus::Ok);
  std::fill(shared->data.begin(), shared->data.begin() + 16 * 512, 0);
  RepairPlan plan;
  test::RecordingUi quiet;
  ASSERT_EQ(PlanRestoreBackup(device, path, u"disk", kSectors, quiet, true, plan), RestoreStatus::Ok);
  EXPECT_TRUE(ApplyPlan(device, plan).ok);
  EXPECT_EQ(shared->data, original);
}

}  // namespace
}  // namespace kestrova
