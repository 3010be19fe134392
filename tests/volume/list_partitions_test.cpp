#include "volume/list_partitions.h"
#include "common/le.h"
#include "support/crafted.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrova {
namespace {

using namespace kestrova::test;

class ListPartitionsTest : public ::testing::Test {
 protected:
  std::unique_ptr<MemDevice> mem;
  std::vector<DriveEntry> damaged;

  void Make(std::size_t sectors) { mem = std::make_unique<MemDevice>(Image(sectors * 512, 0)); }
  std::uint8_t* S(std::uint64_t sector) { return mem->at(sector); }

  // A table entry at slot i of the record at `sector`, CHS by the 255/63 rule.
  void Entry(std::uint64_t sector, int slot, std::uint8_t type, std::uint32_t first, std::uint32_t count,
             std::uint8_t boot = 0) {
    StoreMbrEntry(MakeMbrEntry(boot, type, first, count), std::span<std::uint8_t>(S(sector) + 446 + 16 * slot, 16));
    PutLe16(S(sector) + 510, 0xAA55);
  }
  PartitionListing List() {
    IdentifyContext ctx{mem->device, 0, nullptr, &damaged};
    return ListPartitions(ctx, mem->device.deviceSectors);
  }
  static std::vector<std::uint64_t> Starts(const std::vector<DriveEntry>& v) {
    std::vector<std::uint64_t> out;
    for (const DriveEntry& e : v) out.push_back(+e.start);
    return out;
  }
};

TEST(Chs, FollowsThe255HeadRuleAndCapsAtCylinder1023) {
  EXPECT_EQ(ChsOfSector(0), (Chs{0, 1, 0}));
  EXPECT_EQ(ChsOfSector(62), (Chs{0, 63, 0}));
  EXPECT_EQ(ChsOfSector(63), (Chs{1, 1, 0}));
  EXPECT_EQ(ChsOfSector(2048), (Chs{32, 33, 0}));
  EXPECT_EQ(ChsOfSector(16065), (Chs{0, 1, 1}));
  // Cylinder 256 puts bit 8 into the top bits of the sector byte.
  EXPECT_EQ(ChsOfSector(256 * 16065), (Chs{0, 0x41, 0}));
  EXPECT_EQ(ChsOfSector(1023ull * 16065 + 16064), (Chs{254, 0xFF, 0xFF}));
  EXPECT_EQ(ChsOfSector(1024ull * 16065), (Chs{254, 0xFF, 0xFF}));
  const MbrEntry e = MakeMbrEntry(0x80, 0x07, 2048, 20480);
  Image bytes(16);
  StoreMbrEntry(e, bytes);
  const MbrEntry back = MbrEntry::Parse(bytes);
  EXPECT_EQ(back.bootFlag, 0x80);
  EXPECT_EQ(back.firstSector, 2048u);
  EXPECT_EQ(back.sectorCount, 20480u);
  EXPECT_EQ((Chs{back.endHead, back.endSector, back.endCylinder}), ChsOfSector(2048 + 20480 - 1));
}

TEST_F(ListPartitionsTest, ProtectiveMbrWithThreeGptPartitionsListsExactlyThree) {
  Make(4000);
  Entry(0, 0, kGptProtectiveType, 1, 3999);
  PutText(S(1), "EFI PART");
  PutLe64(S(1) + 72, 2);  // entries at sector 2
  const std::uint64_t starts[] = {100, 1000, 2000};
  for (int i = 0; i < 3; ++i) {
    std::uint8_t* e = S(2) + 128 * (i == 2 ? 5 : i);  // the third one in the second entry sector
    PutLe64(e + 32, starts[i]);
    PutLe64(e + 40, starts[i] + 799);
    WriteFat32Boot(S(starts[i]), 800, 0x1000 + i, "GPT" + std::to_string(i));
  }
  const PartitionListing l = List();
  EXPECT_TRUE(l.gpt);
  ASSERT_EQ(Starts(l.volumes), (std::vector<std::uint64_t>{100, 1000, 2000}));
  for (const DriveEntry& e : l.volumes) EXPECT_EQ(+e.sectors, 800u);
  EXPECT_TRUE(l.afterLast.empty());
  EXPECT_EQ(l.wrongMbrEntries, 3) << "the protective entry is in use; the three empty slots are free";
}

TEST_F(ListPartitionsTest, ListingAndIdentifyingWhileAVolumeIsMountedLeaveItsGeometryAlone) {
  Make(6000);
  Entry(0, 0, 0x0C, 100, 2000);
  Entry(0, 1, 0x0C, 3000, 2000);
  WriteFat32Boot(S(100), 2000, 0x1111, "FIRST", 4);
  WriteFat32Boot(S(3000), 2000, 0x2222, "SECOND", 8);
  // The second partition is mounted: its start, its tightened end, its clusters.
  VolumeGeometry& g = mem->device.GeometryForMount();
  g.volumeStart = 3000;
  g.volumeSectorsHint = 2000;
  g.volumeLastSector = 1999;
  g.fsType = FsType::Fat32;
  g.sectorsPerCluster = 8;
  g.bytesPerCluster = 4096;
  g.dataStart = 160;
  g.clusterBase = 144;
  g.lastCluster = 231;
  g.rootCluster = 2;
  const VolumeGeometry mounted = mem->device.geometry();

  // Both volumes are found although one lies outside the mounted volume's bounds.
  const PartitionListing l = List();
  ASSERT_EQ(Starts(l.volumes), (std::vector<std::uint64_t>{100, 3000}));
  EXPECT_EQ(EntryFsName(l.volumes[0]), u"FAT32");
  EXPECT_EQ(EntryFsName(l.volumes[1]), u"FAT32");
  EXPECT_EQ(mem->device.geometry(), mounted);

  IdentifyContext ctx{mem->device, 0, nullptr, nullptr};
  DriveEntry entry;
  ASSERT_TRUE(IdentifyVolume(ctx, 100, nullptr, entry));
  EXPECT_EQ(+entry.serial, 0x1111u);
  EXPECT_EQ(mem->device.geometry(), mounted);
  // The open's backup tests at an absolute start: the FAT32 copy at 6 of the first volume.
  std::vector<std::uint8_t> zero(512, 0);
  std::memcpy(S(106), S(100), 512);
  const OpenIdentification id = IdentifyAtDeviceSector(mem->device, 100, zero, 2000);
  EXPECT_EQ(id.type, FsType::Fat32);
  EXPECT_EQ(id.bootSectorAt, 6u);
  EXPECT_EQ(mem->device.geometry(), mounted);
  // The mounted volume still reads relative to its own start.
  std::vector<std::uint8_t> sector(512);
  ASSERT_EQ(mem->device.ReadSectors(0, sector, 1), ReadOk);
  EXPECT_EQ(LoadLe32(sector, 67), 0x2222u);
}

TEST_F(ListPartitionsTest, GptStopsAtTheFirstUnreadableEntrySector) {
  Make(4000);
  PutText(S(1), "EFI PART");
  PutLe64(S(1) + 72, 2);
  PutLe64(S(2) + 32, 100);
  PutLe64(S(2) + 40, 899);
  PutLe64(S(4) + 32, 1000);  // behind the bad sector 3: never reached
  PutLe64(S(4) + 40, 1799);
  WriteFat32Boot(S(100), 800, 1, "A");
  WriteFat32Boot(S(1000), 800, 2, "B");
  mem->shared->badSectors.insert(3);
  mem->device.skipReadErrors = true;
  EXPECT_EQ(Starts(List().volumes), (std::vector<std::uint64_t>{100}));
}

TEST_F(ListPartitionsTest, StickWithoutTableIsOneVolumeAtSectorZero) {
  Make(3000);
  WriteFat32Boot(S(0), 3000, 0xABCD, "STICK");
  S(0)[446] = 0x33;  // boot code where a table would be
  const PartitionListing l = List();
  EXPECT_TRUE(l.bare);
  ASSERT_EQ(l.volumes.size(), 1u);
  EXPECT_EQ(+l.volumes[0].start, 0u);
  EXPECT_EQ(+l.volumes[0].sectors, 3000u);
  EXPECT_EQ(EntryFsName(l.volumes[0]), u"FAT32");
  // Its count is the whole device's when the file system's own count is close to it.
  Make(3000);
  WriteFat32Boot(S(0), 2900, 0xABCD, "STICK");
  S(0)[446] = 0x33;
  EXPECT_EQ(+List().volumes[0].sectors, 3000u);
  EXPECT_EQ(l.wrongMbrEntries, 0);
}

TEST_F(ListPartitionsTest, ExtendedChainListsBothLogicalVolumesAfterTheirRecords) {
  Make(6000);
  Entry(0, 0, 0x0C, 63, 1000);
  Entry(0, 1, 0x0F, 2000, 4000);
  WriteFat32Boot(S(63), 1000, 1, "P1");
  // First record at the container base; its logical volume 63 sectors later.
  Entry(2000, 0, 0x0C, 63, 1000);
  Entry(2000, 1, 0x05, 1500, 1063);
  WriteFat32Boot(S(2063), 1000, 2, "L1");
  Entry(3500, 0, 0x07, 63, 1000);
  WriteNtfsBoot(S(3563), 999, 3);
  const PartitionListing l = List();
  EXPECT_TRUE(l.hasExtended);
  EXPECT_EQ(l.extendedBase, 2000u);
  ASSERT_EQ(Starts(l.volumes), (std::vector<std::uint64_t>{63, 2063, 3563}));
  EXPECT_EQ(EntryFsName(l.volumes[2]), u"NTFS");
  EXPECT_EQ(+l.volumes[1].partitionType, 0x0C);
  EXPECT_EQ(l.extendedRecords.size(), 2u);
  EXPECT_EQ(l.wrongMbrEntries, 2);
}

TEST_F(ListPartitionsTest, ChainThatLinksBackEndsCleanly) {
  Make(6000);
  Entry(0, 0, 0x05, 2000, 4000);
  Entry(2000, 0, 0x0C, 63, 500);
  Entry(2000, 1, 0x05, 1000, 600);  // -> 3000
  WriteFat32Boot(S(2063), 500, 1, "L1");
  Entry(3000, 0, 0x0C, 63, 500);
  Entry(3000, 1, 0x05, 1000, 600);  // -> 3000 again: a loop
  WriteFat32Boot(S(3063), 500, 2, "L2");
  const PartitionListing l = List();
  EXPECT_EQ(Starts(l.volumes), (std::vector<std::uint64_t>{2063, 3063}));
  EXPECT_EQ(l.extendedRecords.size(), 2u);

  // A longer cycle through two records.
  Entry(2000, 1, 0x05, 1000, 600);
  Entry(3000, 1, 0x05, 1500, 600);  // -> 3500
  Entry(3500, 1, 0x05, 1000, 600);  // -> 3000
  EXPECT_EQ(List().extendedRecords.size(), 3u);
}

TEST_F(ListPartitionsTest, EmptiedSlotDoesNotHideTheSlotsAfterIt) {
  Make(4000);
  Entry(0, 0, 0x0C, 63, 1000);
  Entry(0, 2, 0x0C, 2016, 1000);
  WriteFat32Boot(S(63), 1000, 1, "A");
  WriteFat32Boot(S(2016), 1000, 2, "B");
  EXPECT_EQ(Starts(List().volumes), (std::vector<std::uint64_t>{63, 2016}));
}

TEST_F(ListPartitionsTest, VolumeBehindTheLastIsFoundAtTheNextTrackBoundary) {
  Make(6000);
  // 1000 sectors end 8 short of 1008 = 16 x 63 ... the entry starts at 63.
  Entry(0, 0, 0x0C, 63, 1000);
  WriteFat32Boot(S(63), 1000, 1, "LISTED");
  // 63 + 1000 = 1063; 1000 mod 63 = 55: the search tries 1063 + 8 = 1071.
  WriteFat32Boot(S(1071), 1200, 2, "LOST1");
  // Then 1071 + 1200 = 2271, 1200 mod 63 = 3: tries 2331; nothing; then 2271.
  WriteFat32Boot(S(2271), 630, 3, "LOST2");
  const PartitionListing l = List();
  EXPECT_EQ(Starts(l.volumes), (std::vector<std::uint64_t>{63}));
  EXPECT_EQ(Starts(l.afterLast), (std::vector<std::uint64_t>{1071, 2271})) << "offered for repair, not listed";

}

TEST_F(ListPartitionsTest, NtfsBackupBootSectorIsNotAnotherVolume) {
  Make(4000);
  Entry(0, 0, 0x0C, 63, 1008);  // a multiple of 63: the search starts right at 1071
  WriteFat32Boot(S(63), 1008, 1, "LISTED");
  WriteNtfsBoot(S(1071), 1259, 0x1234);  // counts 1259 sectors; its backup sits at 1071 + 1259
  WriteNtfsBoot(S(1071 + 1259), 1259, 0x1234);
  const PartitionListing l = List();
  EXPECT_EQ(Starts(l.afterLast), (std::vector<std::uint64_t>{1071}));
}

// A clone keeps its source's serial: only the sector just past the counted
// ones is the backup; a volume with that serial anywhere else is another.
TEST_F(ListPartitionsTest, ACloneWithTheSameSerialBehindTheBackupIsListed) {
  struct Case {
    const char* what;
    std::uint32_t counted;  // the NTFS count of the volume at 1071 (its backup follows it)
    std::uint64_t cloneAt;
  };
  for (const Case& c : {Case{"partition of whole tracks: the clone right after the backup", 1259, 1071 + 1260},
                        Case{"clone on the next track boundary", 1000, 1071 + 1000 + 8},
                        Case{"clone right after the backup, off the track", 1000, 1071 + 1001}}) {
    SCOPED_TRACE(c.what);
    Make(6000);
    Entry(0, 0, 0x0C, 63, 1008);
    WriteFat32Boot(S(63), 1008, 1, "LISTED");
    WriteNtfsBoot(S(1071), c.counted, 0x1234);
    WriteNtfsBoot(S(1071 + c.counted), c.counted, 0x1234);
    WriteNtfsBoot(S(c.cloneAt), 900, 0x1234);
    WriteNtfsBoot(S(c.cloneAt + 900), 900, 0x1234);
    const PartitionListing l = List();
    EXPECT_EQ(Starts(l.afterLast), (std::vector<std::uint64_t>{1071, c.cloneAt}));
  }
}

TEST_F(ListPartitionsTest, WipedSectorZeroListsAVolumeThroughItsBackup) {
  Make(3000);
  WriteFat32Boot(S(6), 3000, 0x5151, "BACKUP");
  const PartitionListing l = List();
  ASSERT_EQ(l.volumes.size(), 1u);
  EXPECT_EQ(EntryFsName(l.volumes[0]), u"FAT32");
  EXPECT_EQ(+l.volumes[0].bootDamaged, 1);
  EXPECT_EQ(damaged.size(), 1u);
}

TEST_F(ListPartitionsTest, WrongEntriesFollowTheChsRule) {
  Make(4000);
  WriteFat32Boot(S(63), 1000, 1, "OK");
  Entry(0, 0, 0x0C, 63, 1000);    // CHS right, fits: fine
  Entry(0, 1, 0x0C, 2000, 5000);  // CHS right, past the device's end: wrong
  // CHS not by the rule: judged by whether a volume is there.
  Entry(0, 2, 0x0C, 63, 1000);
  S(0)[446 + 32 + 1] = 7;
  S(0)[446 + 32 + 5] = 7;
  const PartitionListing l = List();
  EXPECT_EQ(l.wrongMbrEntries, 2) << "slot 2 and the empty slot 4";
  IdentifyContext ctx{mem->device, 0, nullptr, nullptr};
  // Off-rule CHS and nothing recognised: an entry with a count is still listed
  // (as UNKNOWN) and so in use; one without a count is a free slot.
  MbrEntry unknown = MakeMbrEntry(0, 0x8E, 3000, 500);
  unknown.startHead = unknown.endHead = 9;
  EXPECT_FALSE(IsWrongMbrEntry(ctx, unknown, 4000));
  unknown.sectorCount = 0;
  EXPECT_TRUE(IsWrongMbrEntry(ctx, unknown, 4000));
}

TEST(AlignAfter, TriesTheTrackBoundaryThenTheSectorAfter) {
  std::vector<std::uint64_t> asked;
  auto none = [&](std::uint64_t s) {
    asked.push_back(s);
    return false;
  };
  EXPECT_EQ(AlignAfter(1063, 1000, none), 1063u);
  EXPECT_EQ(asked, (std::vector<std::uint64_t>{1071}));
  EXPECT_EQ(AlignAfter(1071, 1008, none), 1071u) << "a multiple of 63 needs no search";
  EXPECT_EQ(AlignAfter(1063, 1000, [](std::uint64_t s) { return s == 1071; }), 1071u);
}

}  // namespace
}  // namespace kestrova
