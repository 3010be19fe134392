#include "volume/identify.h"
#include "support/crafted.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrova {
namespace {

using namespace kestrova::test;

struct Identified {
  bool ok;
  DriveEntry entry;
};

class IdentifyTest : public ::testing::Test {
 protected:
  std::unique_ptr<MemDevice> mem;
  std::vector<DriveEntry> damaged;
  std::vector<SystemVolume> volumes;

  void Make(std::size_t sectors) { mem = std::make_unique<MemDevice>(Image(sectors * 512, 0)); }
  std::uint8_t* S(std::uint64_t sector) { return mem->at(sector); }

  Identified Run(std::uint64_t start, std::uint32_t tableCount = 0, std::int32_t drive = 0) {
    IdentifyContext ctx{mem->device, drive, &volumes, &damaged};
    MbrEntry table;
    table.type = 0x07;
    table.sectorCount = tableCount;
    Identified r{false, MakeDriveEntry()};
    r.ok = IdentifyVolume(ctx, start, tableCount ? &table : nullptr, r.entry);
    return r;
  }
};

TEST_F(IdentifyTest, PartitionTableSectorIsRejectedNotUnknown) {
  Make(200);
  PutLe16(S(0) + 510, 0xAA55);
  EXPECT_FALSE(Run(0, 100).ok);
  // The same sector without the signature is an unknown volume of the table's size.
  PutLe16(S(0) + 510, 0);
  const Identified r = Run(0, 100);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryFsName(r.entry), u"UNKNOWN");
  EXPECT_EQ(+(r.entry.sectors), 100u);
  // Unknown without a count is not a usable entry.
  EXPECT_FALSE(Run(0).ok);
}

TEST_F(IdentifyTest, ZeroedNtfsBootIsFoundThroughItsLastSectorBackup) {
  Make(2100);
  WriteNtfsBoot(S(100 + 1999), 1999, 0x1122334455667788ull);
  const Identified r = Run(100, 2000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryFsName(r.entry), u"NTFS");
  EXPECT_EQ(+(r.entry.bootDamaged), 1);
  EXPECT_EQ(+(r.entry.serial), 0x55667788u);
  EXPECT_EQ(+(r.entry.sectors), 2000u);  // within the threshold: the table's size stays
  EXPECT_EQ(+(r.entry.fsKind), 0x07);
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_EQ(+(damaged[0].start), 100u);
}

TEST_F(IdentifyTest, NtfsBootThatDisagreesWithItsBackupTakesTheBackup) {
  Make(2100);
  WriteNtfsBoot(S(0), 1999, 42);
  WriteNtfsBoot(S(1999), 1999, 42);
  S(0)[60] = 0x99;  // a damaged byte inside the compared 84 bytes
  const Identified r = Run(0, 2000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(+(r.entry.bootDamaged), 1);
  // A backup with another serial is not this volume's.
  WriteNtfsBoot(S(1999), 1999, 43);
  damaged.clear();
  EXPECT_EQ(+(Run(0, 2000).entry.bootDamaged), 0);
}

TEST_F(IdentifyTest, NoBackupIsSoughtWhenSector63HoldsNtfs) {
  Make(2100);
  WriteNtfsBoot(S(63), 1000, 1);
  WriteNtfsBoot(S(1999), 1999, 1);
  const Identified r = Run(0, 2000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryFsName(r.entry), u"UNKNOWN");
  EXPECT_EQ(+(r.entry.bootDamaged), 0);
}

TEST_F(IdentifyTest, Fat32BackupAtSixOrTwoServesAZeroedBoot) {
  Make(300);
  WriteFat32Boot(S(2), 100000, 0xCAFE, "TWO");
  Identified r = Run(0, 100000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryFsName(r.entry), u"FAT32");
  EXPECT_EQ(EntryLabel(r.entry), u"TWO");
  EXPECT_EQ(+(r.entry.bootDamaged), 1);
  WriteFat32Boot(S(6), 100000, 0xCAFE, "SIX");
  r = Run(0, 100000);
  EXPECT_EQ(EntryLabel(r.entry), u"SIX");  // 6 is tried before 2
}

TEST_F(IdentifyTest, Fat32TableStartSixSectorsTooFarIsMovedBack) {
  Make(400);
  // Real volume at 100; the table points at its backup boot sector (106).
  WriteFat32Boot(S(100), 200000, 0x1234, "REAL");
  WriteFat32Boot(S(106), 200000, 0x1234, "REAL");
  const std::uint8_t fat[] = {0xF8, 0xFF, 0xFF, 0x0F};
  std::memcpy(S(100 + 32), fat, 4);
  const Identified r = Run(106, 200000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryFsName(r.entry), u"FAT32");
  EXPECT_EQ(+(r.entry.start), 100u);
  // At the right start nothing moves.
  EXPECT_EQ(+(Run(100, 200000).entry.start), 100u);
}

TEST_F(IdentifyTest, Fat32BackupWithOtherHiddenSectorsIsNotDamage) {
  Make(300);
  WriteFat32Boot(S(0), 100000, 7, "A");
  WriteFat32Boot(S(6), 100000, 7, "A");
  PutLe32(S(6) + 28, 2048);  // hidden sectors differ legitimately
  S(6)[65] = 0x80;
  EXPECT_EQ(+(Run(0, 100000).entry.bootDamaged), 0);
  S(6)[80] = 0x55;  // a real difference (in the label)
  EXPECT_EQ(+(Run(0, 100000).entry.bootDamaged), 1);
}

TEST_F(IdentifyTest, ExfatTableStartAtTheBackupRegionIsMovedBackByTwelve) {
  Make(400);
  WriteExfatBoot(S(100), 100000, 0x600DF00D);
  WriteExfatBoot(S(112), 100000, 0x600DF00D);
  PutLe32(S(100 + 24), 0xFFFFFFF8);  // the real FAT
  const Identified r = Run(112, 100000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryFsName(r.entry), u"EXFAT");
  EXPECT_EQ(+(r.entry.start), 100u);
  EXPECT_EQ(+(r.entry.serial), 0x600DF00Du);
  EXPECT_EQ(+(r.entry.sectors), 100000u);  // exFAT takes its own length
  // The cluster layout it read the label with stays its own: the device's is the mount's.
  EXPECT_EQ(mem->device.sectorsPerCluster, 0u);
  EXPECT_EQ(mem->device.dataStart, 0u);
  EXPECT_EQ(mem->device.clusterBase, 0);
}

TEST_F(IdentifyTest, ExfatLabelComesFromTheRootDirectory) {
  Make(400);
  WriteExfatBoot(S(0), 400, 1);
  PutLe32(S(24), 0xFFFFFFF8);
  PutLe32(S(24) + 4 * 4, 0xFFFFFFFF);  // root cluster 4 ends its chain
  std::uint8_t* root = S(64 + 2 * 8);  // cluster 4
  root[0] = 0x81;                      // bitmap entry first
  root[32] = 0x83;
  root[33] = 3;
  const char16_t name[] = u"\u0416ok";
  for (int i = 0; i < 3; ++i) PutLe16(root + 34 + 2 * i, name[i]);
  const Identified r = Run(0);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryLabel(r.entry), u"\u0416ok");
}

TEST_F(IdentifyTest, NtfsCountFollowsTheFileSystemOnlyBeyondTheThreshold) {
  Make(200);
  WriteNtfsBoot(S(0), 1000000, 5);
  EXPECT_EQ(+(Run(0, 1000000 + 1000).entry.sectors), 1001000u);
  EXPECT_EQ(+(Run(0, 1000000 + 600000).entry.sectors), 1000000u);
  EXPECT_EQ(+(Run(0).entry.sectors), 1000000u);
}

TEST_F(IdentifyTest, FatCountThresholdAndSixteenBitTotal) {
  Make(200);
  WriteFat16Boot(S(0), 20000, 9, "SMALL");  // total in the 16-bit field
  EXPECT_EQ(+(Run(0).entry.sectors), 20000u);
  EXPECT_EQ(+(Run(0, 20000 + 0x81200).entry.sectors), 20000u + 0x81200);
  EXPECT_EQ(+(Run(0, 20000 + 0x81201).entry.sectors), 20000u);
}

TEST_F(IdentifyTest, FatLabelsBlankDefaultsAndRootEntries) {
  Make(200);
  WriteFat16Boot(S(0), 20000, 9, "");
  EXPECT_EQ(EntryLabel(Run(0).entry), u"NO NAME");
  std::memcpy(S(0) + 54, "FAT12   ", 8);
  EXPECT_EQ(EntryLabel(Run(0).entry), u"N/A=FAT12");
  EXPECT_EQ(EntryFsName(Run(0).entry), u"FAT12");
  // A label entry in the fixed root (reserved 4 + 2 x 32 sectors per FAT = 68) wins.
  std::uint8_t* root = S(68);
  std::memcpy(root, "\xE5OLDLABEL  ", 11);
  root[11] = 0x08;  // deleted label: ignored
  std::memcpy(root + 32, "ROOTLABEL  ", 11);
  root[32 + 11] = 0x08;
  EXPECT_EQ(EntryLabel(Run(0).entry), u"ROOTLABEL");
  EXPECT_EQ(EntryLabel2(Run(0).entry), u"ROOTLABEL");
}

TEST_F(IdentifyTest, Fat32RootLabelAndALoopingRootChain) {
  Make(400);
  WriteFat32Boot(S(0), 400, 3, "BOOTLBL", 1, 8);  // FAT at 32, data at 48
  PutLe32(S(32) + 2 * 4, 2);                      // cluster 2 links to itself
  const Identified r = Run(0);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryLabel(r.entry), u"BOOTLBL");
  std::memcpy(S(48), "DIRLABEL   ", 11);
  S(48)[11] = 0x08;
  EXPECT_EQ(EntryLabel(Run(0).entry), u"DIRLABEL");
}

TEST_F(IdentifyTest, AbsurdBootValuesNeverCrashOrMatch) {
  Make(200);
  WriteFat32Boot(S(0), 0xFFFFFFFF, 1, "X");
  PutLe16(S(0) + 11, 0);  // bytes per sector 0
  Identified r = Run(0, 100);
  EXPECT_EQ(EntryFsName(r.entry), u"UNKNOWN");
  WriteFat32Boot(S(0), 0xFFFFFFFF, 1, "X", 0);  // sectors per cluster 0
  EXPECT_EQ(EntryFsName(Run(0, 100).entry), u"UNKNOWN");
  WriteFat32Boot(S(0), 0xFFFFFFFF, 1, "X", 3);  // not a power of two
  EXPECT_EQ(EntryFsName(Run(0, 100).entry), u"UNKNOWN");
  WriteFat32Boot(S(0), 0xFFFFFFFF, 1, "X", 128, 0xFFFFFFFF);  // huge FAT: labels unreadable, still FAT32
  EXPECT_EQ(EntryFsName(Run(0).entry), u"FAT32");

  WriteExfatBoot(S(0), ~0ull, 1);
  S(0)[108] = 200;
  EXPECT_EQ(EntryFsName(Run(0, 100).entry), u"UNKNOWN");
  WriteExfatBoot(S(0), ~0ull, 1);
  S(0)[109] = 30;
  EXPECT_EQ(EntryFsName(Run(0, 100).entry), u"UNKNOWN");

  WriteNtfsBoot(S(0), ~0ull, 1, ~0ull);  // MFT cluster out of any range
  r = Run(0);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(+(r.entry.sectors), ~0ull);
  S(0)[64] = 0x7F;  // record size 127 clusters: label skipped
  EXPECT_TRUE(Run(0).ok);
  PutLe16(S(0) + 11, 0);  // NTFS that fails validation rejects the whole entry
  EXPECT_FALSE(Run(0, 100).ok);
  WriteNtfsBoot(S(0), 100, 1);
  PutLe32(S(0) + 36, 0);
  EXPECT_FALSE(Run(0, 100).ok);
}

TEST_F(IdentifyTest, NtfsLabelFromTheVolumeRecord) {
  Make(200);
  WriteNtfsBoot(S(0), 200, 1, 4);  // MFT at cluster 4 = sector 32; record 3 at sector 38
  std::uint8_t* rec = S(38);
  std::memcpy(rec, "FILE", 4);
  PutLe16(rec + 4, 48);  // update sequence at 48, 3 entries
  PutLe16(rec + 6, 3);
  PutLe16(rec + 48, 0x0101);
  PutLe16(rec + 510, 0x0101);
  PutLe16(rec + 1022, 0x0101);
  PutLe16(rec + 20, 56);
  std::uint8_t* a = rec + 56;
  PutLe32(a, 0x60);
  PutLe32(a + 4, 40);
  PutLe32(a + 16, 8);
  PutLe16(a + 20, 24);
  const char16_t name[] = u"Data";
  for (int i = 0; i < 4; ++i) PutLe16(a + 24 + 2 * i, name[i]);
  PutLe32(a + 40, 0xFFFFFFFF);
  EXPECT_EQ(EntryLabel(Run(0).entry), u"Data");
}

TEST_F(IdentifyTest, LinuxFileSystems) {
  Make(200);
  WriteExtSuperblock(S(0), 50000, 0, "root");
  Identified r = Run(0);
  EXPECT_EQ(EntryFsName(r.entry), u"Ext2");
  EXPECT_EQ(EntryLabel(r.entry), u"root");
  EXPECT_EQ(+(r.entry.sectors), 100000u);
  EXPECT_EQ(+(r.entry.fsKind), 0x83);
  WriteExtSuperblock(S(0), 50000, 4, "j");
  EXPECT_EQ(EntryFsName(Run(0).entry), u"Ext3");
  WriteExtSuperblock(S(0), 50000, 0x3C, "j");  // journal plus other features
  EXPECT_EQ(EntryFsName(Run(0).entry), u"Ext");
  PutLe16(S(0) + 1024 + 58, 7);  // impossible state: not ext
  EXPECT_EQ(EntryFsName(Run(0, 10).entry), u"UNKNOWN");

  Make(200);
  PutText(S(7) + 502, "SWAPSPACE2");
  r = Run(0, 150);
  EXPECT_EQ(EntryFsName(r.entry), u"Linux Swap 2");
  EXPECT_EQ(EntryLabel(r.entry), u"Linux Swap");
  EXPECT_EQ(+(r.entry.fsKind), 0x82);
  EXPECT_EQ(+(r.entry.sectors), 150u);
}

TEST_F(IdentifyTest, TableAndGptEntryRules) {
  Make(300);
  WriteFat32Boot(S(10), 100, 1, "G");
  IdentifyContext ctx{mem->device, 0, nullptr, nullptr};
  DriveEntry e = MakeDriveEntry();
  MbrEntry protective;
  protective.type = 0xEE;
  protective.sectorCount = 100;
  EXPECT_FALSE(IdentifyVolume(ctx, 10, &protective, e));
  GptEntry zero{0, 50};
  EXPECT_FALSE(IdentifyVolume(ctx, 10, nullptr, e, {}, &zero));
  GptEntry gpt{10, 109};
  ASSERT_TRUE(IdentifyVolume(ctx, 10, nullptr, e, {}, &gpt));
  EXPECT_EQ(+(e.sectors), 100u);
  MbrEntry t = MbrEntry::Parse(std::vector<std::uint8_t>{0x80, 1, 2, 3, 0x0C, 5, 6, 7, 10, 0, 0, 0, 100, 0, 0, 0});
  ASSERT_TRUE(IdentifyVolume(ctx, 10, &t, e));
  EXPECT_EQ(+(e.partitionType), 0x0C);
  EXPECT_EQ(+(e.startHead), 1);
  EXPECT_EQ(+(e.endCylinder), 7);
}

TEST_F(IdentifyTest, SystemVolumeMatchShowsTheMountPoint) {
  Make(300);
  WriteFat32Boot(S(0), 300, 0xBEEF, "STICK");
  SystemVolume v;
  v.physicalDrive = 2;
  v.startSector = 0;
  v.serial = 0xBEEF;
  v.mountPoint = "/media/stick";
  v.freeBytes = 4096;
  volumes.push_back(v);
  Identified r = Run(0, 0, 2);
  EXPECT_EQ(EntryLabel(r.entry), u"STICK (/media/stick)");
  EXPECT_EQ(EntryLabel2(r.entry), u"STICK");
  EXPECT_EQ(+(r.entry.freeBytes), 4096.0);
  EXPECT_EQ(+(r.entry.letter), '$');
  // Another drive number or serial: no match.
  EXPECT_EQ(EntryLabel(Run(0, 0, 1).entry), u"STICK");
  WriteFat32Boot(S(0), 300, 0xBEEF, "");
  std::memcpy(S(0) + 71, "NO NAME    ", 11);
  EXPECT_EQ(EntryLabel(Run(0, 0, 2).entry), u"(/media/stick)");
}

TEST_F(IdentifyTest, BitLockerBootSectorIsLabelled) {
  Make(300);
  WriteNtfsBoot(S(0), 300, 1);
  S(0)[508] = 0x1F;
  S(0)[509] = 0x2C;
  EXPECT_EQ(EntryLabel(Run(0).entry), u"BitLocker Boot");
}

TEST_F(IdentifyTest, BitLockerMarkIsHonouredWithoutAnyFileSystemString) {
  // A BitLocker volume names none of the tested file systems; the mark alone labels it.
  Make(300);
  std::memcpy(S(0) + 3, "-FVE-FS-", 8);
  S(0)[508] = 0x1F;
  S(0)[509] = 0x2C;
  PutLe16(S(0) + 510, 0xAA55);
  const Identified r = Run(0, 300);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryFsName(r.entry), u"UNKNOWN");
  EXPECT_EQ(EntryLabel(r.entry), u"BitLocker Boot");
  EXPECT_EQ(+(r.entry.sectors), 300u);
  // Without a count the entry still fails, marked or not.
  EXPECT_FALSE(Run(0).ok);
}

TEST_F(IdentifyTest, NtfsWithLargerSectorsThanTheDeviceCountsInDeviceSectors) {
  // 4 KiB-sector NTFS in a 512-byte image: its own count is in 4 KiB sectors.
  Make(8200);
  WriteNtfsBoot(S(0), 1023, 7);
  PutLe16(S(0) + 11, 4096);
  S(0)[13] = 1;
  S(0)[64] = 0xF4;  // 4 KiB records
  const Identified r = Run(0, 8192);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(EntryFsName(r.entry), u"NTFS");
  EXPECT_EQ(+(r.entry.sectors), 8192u);  // the table's count: within the threshold of 1023 x 8
  EXPECT_EQ(+(r.entry.sectorSize), 512u);
}

TEST_F(IdentifyTest, UnreadableBootSectorFails) {
  Make(100);
  mem->shared->badSectors = {0};
  EXPECT_FALSE(Run(0, 50).ok);
}

TEST(IdentifyAtOpen, QuickTestsMapToFsTypes) {
  std::vector<std::uint8_t> s(512, 0);
  EXPECT_EQ(QuickFsTest(s), FsType::RawOther);
  test::WriteExfatBoot(s.data(), 100, 1);
  EXPECT_EQ(QuickFsTest(s), FsType::Exfat);
  test::WriteFat32Boot(s.data(), 100, 1, "");
  EXPECT_EQ(QuickFsTest(s), FsType::Fat32);
  test::WriteFat16Boot(s.data(), 100, 1, "");
  EXPECT_EQ(QuickFsTest(s), FsType::Fat16);
  std::memcpy(s.data() + 54, "FAT12", 5);
  EXPECT_EQ(QuickFsTest(s), FsType::Fat12);
  test::WriteNtfsBoot(s.data(), 100, 1);
  EXPECT_EQ(QuickFsTest(s), FsType::Ntfs);
  EXPECT_EQ(QuickFsTest(std::span<const std::uint8_t>(s.data(), 6)), FsType::RawOther);  // too short for "NTFS"
}

TEST(IdentifyAtOpen, BackupOrderAndSectorCount) {
  test::MemDevice mem(test::Image(300 * 512, 0));
  std::vector<std::uint8_t> zero(512, 0);
  // FAT32 copies at 2 and 6: 2 is tried first at open.
  test::WriteFat32Boot(mem.at(2), 100, 1, "TWO");
  test::WriteFat32Boot(mem.at(6), 100, 1, "SIX");
  OpenIdentification id = IdentifyAtOpen(mem.device, zero, 0);
  EXPECT_EQ(id.type, FsType::Fat32);
  EXPECT_EQ(id.bootSectorAt, 2u);
  // NTFS at the count itself is tried after count - 1.
  test::MemDevice m2(test::Image(300 * 512, 0));
  test::WriteNtfsBoot(m2.at(200), 200, 1);
  EXPECT_EQ(IdentifyAtOpen(m2.device, zero, 0).type, FsType::RawOther);  // unknown count: not tried
  id = IdentifyAtOpen(m2.device, zero, 200);
  EXPECT_EQ(id.type, FsType::Ntfs);
  EXPECT_EQ(id.bootSectorAt, 200u);
}

}  // namespace
}  // namespace kestrova
