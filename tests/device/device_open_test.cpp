#include "device/device_open.h"
#include "support/crafted.h"
#include "support/recording_ui.h"
#include "volume/open_volume.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kestrova {
namespace {
namespace fs = std::filesystem;

class OpenTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("kestrova-open-" + std::to_string(::getpid()));
  test::RecordingUi ui;
  ScanFlags scan;
  SectorDevice device{scan};
  DriveTables tables;

  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  std::string MakeFile(const std::string& name, const std::vector<std::uint8_t>& data) {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                             static_cast<std::streamsize>(data.size()));
    return p.string();
  }
  bool OpenImage(const std::string& path, OpenedDevice& out) {
    OpenRequest r;
    r.imagePath = path;
    return OpenRaw(device, tables, ui, r, out);
  }
};

TEST_F(OpenTest, ImageSizeIgnoresTheTrailingPartialSector) {
  std::vector<std::uint8_t> data(1000000, 0x11);
  const std::string path = MakeFile("disk.img", data);
  OpenedDevice out;
  ASSERT_TRUE(OpenImage(path, out));
  EXPECT_EQ(device.deviceSectors, 1953u);
  EXPECT_EQ(+(device.sectorSize), 512u);
  EXPECT_EQ(device.volumeLastSector, kAllOnes);
  EXPECT_TRUE(out.bootSectorRead);
  EXPECT_FALSE(device.source()->Writable()) << "images are never opened for writing";
  std::vector<std::uint8_t> buf(512);
  EXPECT_EQ(device.ReadSectors(1952, buf, 1), ReadOk);
  EXPECT_EQ(device.ReadSectors(1953, buf, 1), ReadFailed);  // the last 64 bytes are never read
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(OpenTest, VmdkIsRefusedWithoutOpening) {
  const std::string path = (dir / "disk.VMDK").string();  // does not even exist: it must not be touched
  OpenedDevice out;
  EXPECT_FALSE(OpenImage(path, out));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].icon, MsgIcon::Information);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(IsRefusedImage("/x/y.vMdK"));
  EXPECT_FALSE(IsRefusedImage("/x/vmdk.img"));
}

TEST_F(OpenTest, BadImagePathsFailWithTheImageMessage) {
  OpenedDevice out;
  for (const std::string& path : {(dir / "missing.img").string(), dir.string()}) {
    ui.boxes.clear();
    EXPECT_FALSE(OpenImage(path, out)) << path;
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Can't open image file!");
    EXPECT_EQ(ui.boxes[0].caption, "Kestrova");
    EXPECT_EQ(ui.boxes[0].icon, MsgIcon::Error);
    EXPECT_FALSE(device.IsOpen());
  }
}

TEST_F(OpenTest, EmptyAndTinyImagesOpenButHaveNoSectors) {
  for (std::size_t size : {std::size_t{0}, std::size_t{100}}) {
    OpenedDevice out;
    ASSERT_TRUE(OpenImage(MakeFile("tiny.img", std::vector<std::uint8_t>(size, 1)), out));
    EXPECT_EQ(device.deviceSectors, 0u);
    EXPECT_FALSE(out.bootSectorRead);
  }
}

TEST_F(OpenTest, UnopenableVolumeShowsTheDriveMessageOnlyWhenAsked) {
  OpenRequest r;
  r.volumePath = (dir / "no-such-device").string();
  OpenedDevice out;
  EXPECT_FALSE(OpenRaw(device, tables, ui, r, out));
  EXPECT_EQ(device.physicalDrive, -1);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_NE(ui.boxes[0].text.find("Can't open this drive!"), std::string::npos);
  r.showErrors = false;
  EXPECT_FALSE(OpenRaw(device, tables, ui, r, out));
  EXPECT_EQ(ui.boxes.size(), 1u);
  // Physical drives fail silently: that is how the list probes them.
  OpenRequest p;
  p.physicalDrive = 5;
  EXPECT_FALSE(OpenRaw(device, tables, ui, p, out));
  EXPECT_EQ(ui.boxes.size(), 1u);
}

TEST_F(OpenTest, OpenIdentifiesFromBackupBootSectors) {
  // exFAT whose boot sector was zeroed: the backup region at 12 decides.
  std::vector<std::uint8_t> img(4096 * 512, 0);
  test::WriteExfatBoot(img.data() + 12 * 512, 4096, 0xABCD1234);
  DriveEntry entry = MakeDriveEntry();
  OpenRequest r;
  r.imagePath = MakeFile("exfat.img", img);
  r.entry = &entry;
  OpenedVolume out;
  ASSERT_TRUE(OpenDevice(device, tables, ui, r, out));
  EXPECT_EQ(out.type, FsType::Exfat);
  EXPECT_EQ(out.bootSectorAt, 12u);
  EXPECT_EQ(+(entry.detectedFs), 5);
  EXPECT_TRUE(std::equal(out.raw.bootSector.begin(), out.raw.bootSector.begin() + 8,
                         img.begin() + 12 * 512));

  // NTFS at the last sector of a partition inside the image, found through the given count.
  std::vector<std::uint8_t> disk(3000 * 512, 0);
  test::WriteNtfsBoot(disk.data() + (100 + 1999) * 512, 2000, 77);
  r.imagePath = MakeFile("ntfs.img", disk);
  r.start = 100;
  r.count = 2000;
  ASSERT_TRUE(OpenDevice(device, tables, ui, r, out));
  EXPECT_EQ(out.type, FsType::Ntfs);
  EXPECT_EQ(out.bootSectorAt, 1999u);

  // Nothing anywhere: RAW (OTHER).
  r.imagePath = MakeFile("zero.img", std::vector<std::uint8_t>(64 * 512, 0));
  r.start = 0;
  r.count = 0;
  ASSERT_TRUE(OpenDevice(device, tables, ui, r, out));
  EXPECT_EQ(out.type, FsType::RawOther);

  // A forced type is taken as it is.
  r.request = FsType::Fat32;
  ASSERT_TRUE(OpenDevice(device, tables, ui, r, out));
  EXPECT_EQ(out.type, FsType::Fat32);
}

}  // namespace
}  // namespace kestrova
