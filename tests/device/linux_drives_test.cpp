#include "device/drive_tables.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kestrova {
namespace {
namespace fs = std::filesystem;

void Write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text << "\n";
}

class FakeSysfs : public ::testing::Test {
 protected:
  fs::path root = fs::temp_directory_path() / ("kestrova-sysfs-" + std::to_string(::getpid()));
  SystemPaths paths;

  void SetUp() override {
    fs::remove_all(root);
    paths.sysBlock = (root / "block").string();
    paths.sysClassBlock = (root / "class").string();
    paths.mountInfo = (root / "mountinfo").string();
    paths.dev = "/dev";
    paths.probeLabels = false;
    // sda: a SCSI disk with one partition; nvme0n1; loop0 with and loop1 without a backing file; zram0.
    Write(root / "block/sda/size", "2097152");
    Write(root / "block/sda/queue/logical_block_size", "512");
    Write(root / "block/sda/device/vendor", "ACME    ");
    Write(root / "block/sda/device/model", "Disk 1TB  ");
    Write(root / "block/nvme0n1/size", "4194304");
    Write(root / "block/nvme0n1/queue/logical_block_size", "4096");
    Write(root / "block/nvme0n1/device/model", "FastNVMe");
    Write(root / "block/loop0/size", "2048");
    Write(root / "block/loop0/loop/backing_file", "/tmp/disk.img");
    Write(root / "block/loop1/size", "0");
    Write(root / "block/zram0/size", "1000");
    Write(root / "block/vda/size", "1000");
    Write(root / "block/vda/device/vendor", "0x1af4");
    fs::create_directories(root / "class");
    fs::create_directories(root / "block/sda/sda1");
    Write(root / "block/sda/sda1/partition", "1");
    Write(root / "block/sda/sda1/start", "2048");
    Write(root / "block/sda/sda1/size", "204800");
    Write(root / "block/sda/sda1/dev", "8:1");
    fs::create_directory_symlink(root / "block/sda/sda1", root / "class/sda1");
    Write(root / "mountinfo",
          "22 1 8:1 / /media/my\\040stick rw,relatime shared:1 - vfat /dev/sda1 rw\n"
          "garbage line\n");
  }
  void TearDown() override { fs::remove_all(root); }
};

TEST_F(FakeSysfs, ListsDisksAndLoopsWithBackingFilesOnly) {
  const auto drives = EnumeratePhysicalDrives(paths);
  ASSERT_EQ(drives.size(), 4u);  // loop0, nvme0n1, sda, vda in name order
  EXPECT_EQ(drives[0].devicePath, "/dev/loop0");
  EXPECT_EQ(drives[1].devicePath, "/dev/nvme0n1");
  EXPECT_EQ(+(drives[1].sectorSize), 4096u);
  EXPECT_EQ(+(drives[1].sectors), 4194304u);  // counted in 512-byte units
  EXPECT_EQ(drives[1].model, u"FastNVMe");
  EXPECT_EQ(drives[2].model, u"ACME Disk 1TB");
  EXPECT_EQ(drives[2].byteLength, 2097152ull * 512);
  EXPECT_EQ(drives[3].model, u"PHYSICAL DRIVE 3");  // a bus id is not a name
  EXPECT_EQ(drives[0].model, u"PHYSICAL DRIVE 0");
}

TEST_F(FakeSysfs, VolumesCarryTheirDriveStartAndMountPoint) {
  const auto drives = EnumeratePhysicalDrives(paths);
  const auto volumes = EnumerateSystemVolumes(paths, drives);
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].devicePath, "/dev/sda1");
  EXPECT_EQ(volumes[0].physicalDrive, 2);
  EXPECT_EQ(+(volumes[0].startSector), 2048u);
  EXPECT_EQ(volumes[0].mountPoint, "/media/my stick");
  DriveTables tables{drives, volumes};
  const auto place = VolumeLocation(tables, "/dev/sda1");
  ASSERT_TRUE(place);
  EXPECT_EQ(place->physicalDrive, 2);
  EXPECT_EQ(place->startSector, 2048u);
  const auto sectors = VolumeSectors(tables, "/dev/sda1");
  ASSERT_TRUE(sectors);
  EXPECT_EQ(sectors->first, 204800u);
  EXPECT_FALSE(VolumeSectors(tables, "/dev/nothing"));
}

TEST(LinuxDrives, NameFilter) {
  EXPECT_TRUE(IsListablePhysicalName("sdb"));
  EXPECT_TRUE(IsListablePhysicalName("nvme1n1"));
  EXPECT_TRUE(IsListablePhysicalName("mmcblk0"));
  EXPECT_TRUE(IsListablePhysicalName("vda"));
  EXPECT_FALSE(IsListablePhysicalName("mmcblk0boot0"));
  EXPECT_FALSE(IsListablePhysicalName("ram0"));
  EXPECT_FALSE(IsListablePhysicalName("zram0"));
  EXPECT_FALSE(IsListablePhysicalName("dm-0"));
}

TEST(LinuxDrives, SerialsFromBlkidUuids) {
  EXPECT_EQ(SerialFromUuid("32A1-B2C3"), 0x32A1B2C3u);
  EXPECT_EQ(SerialFromUuid("05CDE8876EB82DB1"), 0x6EB82DB1u);
  EXPECT_EQ(SerialFromUuid("6b657374-0000-4000-8000-0000000000e2"), 0u);
  EXPECT_EQ(SerialFromUuid("zzzz-zzzz"), 0u);
  EXPECT_EQ(SerialFromUuid(""), 0u);
}

TEST(LinuxDrives, MountInfoSkipsMalformedLines) {
  const auto m = ParseMountInfo("1 2 3\n36 35 98:0 / /mnt rw - ext4 /dev/root rw\n- - -\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].majorMinor, "98:0");
  EXPECT_EQ(m[0].mountPoint, "/mnt");
  EXPECT_EQ(m[0].source, "/dev/root");
}

}  // namespace
}  // namespace kestrova
