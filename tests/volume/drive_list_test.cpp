#include "volume/drive_list.h"
#include "support/crafted.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kestrova {
namespace {
namespace fs = std::filesystem;

TEST(DriveList, BuildsFromImageFilesAlone) {
  const fs::path dir = fs::temp_directory_path() / ("kestrova-list-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::vector<std::uint8_t> img(2048 * 512, 0);
  test::WriteFat32Boot(img.data(), 2048, 0x1234, "SAMPLE");
  const std::string good = (dir / "sample.img").string();
  std::ofstream(good, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
  const std::string vmdk = (dir / "vm.vmdk").string();

  test::RecordingUi ui;
  ScanFlags scan;
  SectorDevice device(scan);
  DriveList list;
  RefreshOptions options;
  options.includeSystem = false;
  options.images = {good, vmdk};
  RefreshDriveList(list, device, ui, options);

  ASSERT_EQ(list.groups.size(), 2u);
  EXPECT_EQ(list.groups[0].title, u"Image: " + ToUtf16(good));
  ASSERT_EQ(list.groups[0].rows.size(), 1u);
  const DriveRow& vol = list.rows[list.groups[0].rows[0]];
  EXPECT_EQ(EntryFsName(vol.entry), u"FAT32");
  EXPECT_EQ(EntryLabel(vol.entry), u"SAMPLE");
  EXPECT_EQ(vol.imagePath, good);
  EXPECT_EQ(list.groups[1].title, u"Physical drives");
  ASSERT_EQ(list.groups[1].rows.size(), 1u);  // the refused .vmdk adds nothing
  const DriveRow& whole = list.rows[list.groups[1].rows[0]];
  EXPECT_EQ(+(whole.entry.wholeDrive), 1);
  EXPECT_EQ(+(whole.entry.letter), '$');
  EXPECT_EQ(+(whole.entry.sectors), 2048u);
  const RowTexts texts = DescribeRow(whole);
  EXPECT_EQ(texts.size, u"1024.00 kB");  // exactly 1 MiB is not above the MB limit
  EXPECT_EQ(texts.free, u"N/A");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].icon, MsgIcon::Information);
  EXPECT_FALSE(device.IsOpen()) << "listing leaves the device closed";
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrova
