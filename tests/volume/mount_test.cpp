#include "volume/mount.h"
#include "volume/cluster_defaults.h"
#include "volume/mount_at_sector.h"
#include "common/text.h"
#include "resources/strings.h"
#include "support/crafted.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace kestrova {
namespace {

using namespace kestrova::test;

class MountTest : public ::testing::Test {
 protected:
  std::unique_ptr<MemDevice> mem;
  RecordingUi ui;
  MountedVolume mounted;
  MountHooks hooks;
  std::uint64_t bootAt = 0;  // the boot sector handed to the mount: at the volume's start

  void Make(std::size_t sectors) { mem = std::make_unique<MemDevice>(Image(sectors * 512, 0)); }
  std::uint8_t* S(std::uint64_t sector) { return mem->at(sector); }
  SectorDevice& dev() { return mem->device; }

  bool Mount(FsType detected, MountRequest request = {}) {
    OpenedVolume opened;
    opened.type = detected;
    opened.raw.bootSector.assign(S(bootAt), S(bootAt) + 512);
    opened.raw.bootSectorRead = true;
    request.hooks = &hooks;
    return MountVolume(dev(), ui, request, opened, mounted);
  }
};

TEST_F(MountTest, Fat16UsesTheLastFatCopyAndTheFixedRoot) {
  Make(65536);
  WriteFat16Boot(S(0), 65536, 1, "F16");  // reserved 4, 2 FATs of 32, 512 root entries, 4 spc
  ASSERT_TRUE(Mount(FsType::Fat16));
  EXPECT_EQ(dev().fsType, FsType::Fat16);
  EXPECT_EQ(mounted.firstFatStart, 4u);
  EXPECT_EQ(mounted.fatStart, 36u);
  EXPECT_EQ(mounted.rootDirSector, 68u);
  EXPECT_EQ(dev().dataStart, 68u + 32u);
  EXPECT_EQ(dev().clusterBase, 100 - 8);
  EXPECT_EQ(dev().lastCluster, (65536u - 100u) / 4u + 1u);
  EXPECT_EQ(dev().bytesPerCluster, 2048u);
  EXPECT_EQ(dev().volumeLastSector, 100u + (dev().lastCluster - 1u) * 4u - 1u);
}

TEST_F(MountTest, Fat32FallsBackToTheBackupBootSectorsInOrder) {
  Make(70000);
  WriteFat32Boot(S(0), 70000, 1, "DAMAGED", 8);
  S(0)[13] = 0;  // no cluster size
  WriteFat32Boot(S(2), 70000, 2, "SECTOR2", 4);
  WriteFat32Boot(S(6), 70000, 3, "SECTOR6", 2);
  ASSERT_TRUE(Mount(FsType::Fat32));
  EXPECT_EQ(mounted.bootSectorAt, 6u);
  EXPECT_EQ(dev().sectorsPerCluster, 2u);

  S(6)[11] = S(6)[12] = 0;  // sector 6 has no sector size either: sector 2
  ASSERT_TRUE(Mount(FsType::Fat32));
  EXPECT_EQ(mounted.bootSectorAt, 2u);
  EXPECT_EQ(dev().sectorsPerCluster, 4u);
  EXPECT_EQ(dev().dataStart, 32u + 2u * 64u);
  EXPECT_EQ(dev().rootCluster, 2u);
  EXPECT_FALSE(mounted.damaged);

  // Nothing usable anywhere: sector 16 is mounted as it stands, without a division by zero.
  std::memset(S(2), 0, 512);
  ASSERT_TRUE(Mount(FsType::Fat32));
  EXPECT_EQ(mounted.bootSectorAt, 16u);
  EXPECT_EQ(dev().sectorsPerCluster, 1u);
  EXPECT_TRUE(mounted.damaged);
}

TEST_F(MountTest, NtfsGeometryAndTheMftCheck) {
  Make(20000);
  WriteNtfsBoot(S(0), 19999, 7, 4);  // 8 spc, MFT at cluster 4 = sector 32, 1 KiB records
  ASSERT_TRUE(Mount(FsType::Ntfs));
  EXPECT_EQ(dev().dataStart, 2u);
  EXPECT_EQ(dev().clusterBase, 0);
  EXPECT_EQ(dev().lastCluster, 19999u / 8u - 1u);
  EXPECT_EQ(dev().volumeLastSector, (19999u / 8u) * 8u - 1u);
  EXPECT_EQ(mounted.mftStartSector, 32u);
  EXPECT_EQ(mounted.mftRecordSize, 1024u);
  EXPECT_FALSE(mounted.mftUsable) << "no record 0 yet";

  // Record 0: "FILE", update sequence at 48 (3 words), name "$MFT".
  std::uint8_t* r = S(32);
  PutText(r, "FILE");
  PutLe16(r + 4, 48);
  PutLe16(r + 6, 3);
  PutLe16(r + 48, 0x0101);
  PutLe16(r + 510, 0x0101);
  PutLe16(r + 1022, 0x0101);
  const char16_t name[] = u"$MFT";
  std::memcpy(r + 0xF2, name, 8);
  ASSERT_TRUE(Mount(FsType::Ntfs));
  EXPECT_TRUE(mounted.mftUsable);

  // The partition's own count wins for the last sector.
  MountRequest counted;
  counted.partitionCount = 15000;
  ASSERT_TRUE(Mount(FsType::Ntfs, counted));
  EXPECT_EQ(dev().volumeLastSector, 14999u);
}

TEST_F(MountTest, ExfatWithLargeClustersHasANegativeClusterBase) {
  Make(70000);
  WriteExfatBoot(S(0), 65536, 9);
  S(0)[109] = 7;  // 128 sectors per cluster, heap at 64
  PutLe32(S(0) + 92, 500);
  ASSERT_TRUE(Mount(FsType::Exfat));
  EXPECT_EQ(dev().clusterBase, 64 - 256);
  EXPECT_EQ(dev().ClusterSector(2), 64u);
  EXPECT_EQ(dev().ClusterOfSector(64 + 128), 3u);
  EXPECT_EQ(dev().lastCluster, 501u);
  EXPECT_EQ(dev().volumeLastSector, 64u + 500u * 128u - 1u);
}

TEST_F(MountTest, RawVolumeIsScannedAsDamagedNtfs) {
  Make(5000);
  MountRequest r;
  r.partitionCount = 4000;
  ASSERT_TRUE(Mount(FsType::RawOther, r));
  EXPECT_EQ(dev().fsType, FsType::Ntfs);
  EXPECT_TRUE(mounted.damaged);
  EXPECT_EQ(dev().sectorsPerCluster, 1u);
  EXPECT_EQ(dev().lastCluster, 3999u);
  EXPECT_EQ(dev().volumeLastSector, 3999u);
}

TEST_F(MountTest, Fat32CountInTheSixteenBitFieldIsTheCount) {
  // mkfs puts a small FAT32 volume's count in the 16-bit field and 0 in the 32-bit one.
  Make(41000);
  WriteFat32Boot(S(0), 0, 1, "SMALL", 1, 315);
  PutLe16(S(0) + 19, 40960);
  ASSERT_TRUE(Mount(FsType::Fat32));
  EXPECT_EQ(dev().dataStart, 32u + 2u * 315u);
  EXPECT_EQ(dev().lastCluster, 40960u - (32u + 630u) + 1u);
  EXPECT_EQ(mounted.totalSectors, 40960u);
}

TEST_F(MountTest, HostileBootSizesAreBoundedByTheDevice) {
  // A boot sector may claim anything; the geometry never exceeds what the
  // device holds, nor what the table width can address.
  struct Case {
    const char* name;
    FsType type;
    std::function<void(std::uint8_t*)> write;
    std::uint32_t lastCluster;
  };
  const std::vector<Case> cases = {
      {"FAT32 claiming 2^32 sectors and 2^28 per FAT", FsType::Fat32,
       [](std::uint8_t* s) {
         WriteFat32Boot(s, 0xFFFFFFFF, 1, "", 1, 64);
         PutLe32(s + 36, 0x0FFFFFFF);
       },
       1},  // the data area would start beyond the device: no clusters
      {"FAT32 claiming 2^32 sectors", FsType::Fat32, [](std::uint8_t* s) { WriteFat32Boot(s, 0xFFFFFFFF, 1, "", 1, 64); },
       4000 - (32 + 128) + 1},
      {"FAT16 claiming 2^32 sectors", FsType::Fat16, [](std::uint8_t* s) { WriteFat16Boot(s, 0xFFFFFFFF, 1, ""); },
       (4000 - (4 + 64 + 32)) / 4 + 1},
      {"exFAT claiming 0xFFFFFFFE clusters", FsType::Exfat,
       [](std::uint8_t* s) {
         WriteExfatBoot(s, 4000, 1);
         PutLe32(s + 92, 0xFFFFFFFE);
       },
       (4000 - 64) / 8 + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Make(4000);
    c.write(S(0));
    ASSERT_TRUE(Mount(c.type));
    EXPECT_EQ(dev().lastCluster, c.lastCluster);
  }
}

TEST_F(MountTest, LargerFileSystemSectorsAreScaledToTheDevicesAtAnyStart) {
  // 4 KiB-sector NTFS inside a 512-byte image, starting at sector 100: the MFT
  // is found in device sectors, not 8 times too far in.
  Make(9000);
  dev().GeometryForMount().volumeStart = 100;
  bootAt = 100;
  WriteNtfsBoot(S(100), 1000, 5, 4);
  PutLe16(S(100) + 11, 4096);
  S(100)[13] = 1;
  S(100)[64] = 0xF4;  // 4 KiB records
  std::uint8_t* rec = S(100 + 4 * 8);
  std::memcpy(rec, "FILE", 4);
  PutLe16(rec + 4, 48);
  PutLe16(rec + 6, 9);
  PutLe16(rec + 20, 56);
  const std::uint8_t name[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
  std::memcpy(rec + 200, name, sizeof name);
  ASSERT_TRUE(Mount(FsType::Ntfs));
  EXPECT_EQ(dev().sectorSize, 512u);
  EXPECT_EQ(dev().sectorsPerCluster, 8u);
  EXPECT_EQ(mounted.mftStartSector, 32u);
  EXPECT_EQ(mounted.mftRecordSize, 4096u);
  EXPECT_TRUE(mounted.mftUsable);
  EXPECT_EQ(mounted.totalSectors, 8000u);
  EXPECT_EQ(dev().lastCluster, 999u);
}

TEST_F(MountTest, RawWholeDeviceBeyondTwoToTheThirtyTwoSectorsKeepsItsEnd) {
  // A 3 TiB disk as the open sizes it: the volume bound is 64-bit, only the
  // 32-bit cluster field is held at its largest value.
  Make(100);
  dev().GeometryForMount().deviceSectors = (3ull << 40) / 512;
  ASSERT_TRUE(Mount(FsType::RawOther));
  EXPECT_EQ(dev().volumeLastSector, (3ull << 40) / 512 - 1);
  EXPECT_EQ(mounted.totalSectors, (3ull << 40) / 512);
  EXPECT_EQ(dev().lastCluster, 0xFFFFFFFFu);
}

TEST_F(MountTest, OverriddenFatTypeNotFoundShowsTheMessageAndScansRaw) {
  Make(20000);
  WriteNtfsBoot(S(0), 19999, 7);  // reformatted as NTFS: byte 13 = 8
  MountRequest r;
  r.settings.overrideFs = true;
  r.settings.fsChoice = 1;  // FAT32
  r.partitionCount = 20000;
  ASSERT_TRUE(Mount(FsType::Ntfs, r));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, ToUtf8(Text(StringId::CantLocalizeFat32)));
  EXPECT_EQ(dev().fsType, FsType::Ntfs);
  EXPECT_TRUE(mounted.damaged);
  EXPECT_EQ(dev().sectorsPerCluster, 8u) << "byte 13 replaces the chosen size";
  EXPECT_EQ(dev().dataStart, 0u);
  EXPECT_EQ(mounted.mftRecordSize, 1024u);
  EXPECT_EQ(dev().volumeLastSector, 19999u);

  // exFAT not found keeps its type; FAT16 found through the reader's search is used.
  ui.boxes.clear();
  r.settings.fsChoice = 3;
  ASSERT_TRUE(Mount(FsType::Ntfs, r));
  EXPECT_EQ(dev().fsType, FsType::Exfat);
  EXPECT_TRUE(ui.boxes.empty());
  hooks.locateFat16 = [](SectorDevice& d, MountedVolume&) {
    d.GeometryForMount().dataStart = 500;
    d.GeometryForMount().clusterBase = 500 - 2 * static_cast<std::int64_t>(d.sectorsPerCluster);
    d.GeometryForMount().lastCluster = 100;
    return true;
  };
  r.settings.fsChoice = 0;
  r.settings.clusterChoice = 4;  // 4 kB
  ASSERT_TRUE(Mount(FsType::Ntfs, r));
  EXPECT_EQ(dev().fsType, FsType::Fat16);
  EXPECT_EQ(dev().sectorsPerCluster, 8u);
  EXPECT_EQ(dev().dataStart, 500u);
}

TEST_F(MountTest, OverriddenNtfsUsesTheManualStartAndCount) {
  Make(20000);
  MountRequest r;
  r.settings.overrideFs = true;
  r.settings.fsChoice = 2;
  r.settings.manualStart = 1000;
  r.settings.manualCount = 8000;
  ASSERT_TRUE(Mount(FsType::RawOther, r));
  EXPECT_EQ(dev().fsType, FsType::Ntfs);
  EXPECT_EQ(dev().clusterBase, 1000);
  EXPECT_EQ(dev().dataStart, 1002u);
  EXPECT_EQ(mounted.totalSectors, 8000u);
  EXPECT_EQ(dev().sectorsPerCluster, DefaultSectorsPerCluster(FsType::Ntfs, 20000, 512));
}

TEST_F(MountTest, ForcedTypeThatIsNotFoundClosesTheDevice) {
  Make(20000);
  MountRequest r;
  r.request = FsType::Fat32;
  EXPECT_FALSE(Mount(FsType::RawOther, r));
  EXPECT_FALSE(dev().IsOpen());
}

TEST(ClusterDefaults, FollowTheFormattersTables) {
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Fat16, 262143, 512), 4u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Fat16, 262144, 512), 8u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Fat16, 4194304, 512), 128u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Fat32, 131071, 512), 1u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Fat32, 16777215, 512), 8u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Fat32, 16777216, 512), 32u) << "16 is never chosen";
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Fat12, 2880, 512), 8u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Ntfs, 1000000, 512), 8u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Ntfs, (17ull << 40) / 512, 512), 16u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Exfat, 1000000, 512), 1u);
  // The same byte sizes with 4096-byte sectors.
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Ntfs, 1000000, 4096), 1u);
  EXPECT_EQ(DefaultSectorsPerCluster(FsType::Fat16, 262144 / 8, 4096), 1u);
  const ClusterDefaults d = ClusterDefaultsFor(3000000, 512);
  EXPECT_EQ(d.ntfs, 8u);
  EXPECT_EQ(d.fat32, 8u);
  EXPECT_EQ(d.fat16, 64u);
  EXPECT_EQ(d.fat12, 8u);
}

TEST(MountAtSectorTest, ValidatesAgainstTheBaseEntryAndFillsTheSettings) {
  DriveEntry base = MakeDriveEntry();
  base.sectors = 100000;
  SetEntryLabel(base, u"DISK");
  EXPECT_EQ(MountBaseEntryText(1, base), u"(1) DISK [ 48.83 MB ]");
  EXPECT_EQ(MaxSectorCount(base, u"2048"), 97952u);
  EXPECT_EQ(MaxSectorCount(base, u"junk"), 100000u);
  EXPECT_EQ(ParseTypedSectors(u" 42 "), 42u);
  EXPECT_EQ(ParseTypedSectors(u"4x2"), 0u);
  EXPECT_EQ(ParseTypedSectors(u"99999999999999999999999"), 0u);

  DriveSettings settings;
  MountAtSectorInput input{u"2048", u"97953"};
  EXPECT_FALSE(MountAtSector(base, input, settings));
  EXPECT_EQ(input.sectorText, u"0");
  EXPECT_EQ(input.countText, u"0");
  EXPECT_FALSE(settings.overrideFs);

  input = {u"2048", u"97952", 6, false};
  ASSERT_TRUE(MountAtSector(base, input, settings));
  EXPECT_TRUE(settings.overrideFs);
  EXPECT_TRUE(settings.damaged);
  EXPECT_EQ(settings.ChosenFs(), FsType::Ntfs);
  EXPECT_EQ(settings.clusterChoice, 6);
  EXPECT_FALSE(settings.RawAnalyzeTicked());
  EXPECT_EQ(settings.manualStart, 2048u);
  EXPECT_EQ(settings.manualCount, 97952u);
}

}  // namespace
}  // namespace kestrova
