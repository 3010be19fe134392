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

TEST(DriveList, ImageWithATableListsItsPartitionsAndKeepsRepairCandidates) {
  const fs::path dir = fs::temp_directory_path() / ("kestrova-list2-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::vector<std::uint8_t> img(4000 * 512, 0);
  auto at = [&](std::uint64_t sector) { return img.data() + sector * 512; };
  StoreMbrEntry(MakeMbrEntry(0x80, 0x0C, 63, 1000), std::span<std::uint8_t>(at(0) + 446, 16));
  test::PutLe16(at(0) + 510, 0xAA55);
  test::WriteFat32Boot(at(63), 1000, 1, "FIRST");
  test::WriteFat32Boot(at(1071), 1000, 2, "NOTLISTED");  // behind the first, at the next track boundary
  const std::string path = (dir / "disk.img").string();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));

  test::RecordingUi ui;
  ScanFlags scan;
  SectorDevice device(scan);
  DriveList list;
  ASSERT_TRUE(AddImageToList(list, device, ui, path));
  ASSERT_EQ(list.groups[0].rows.size(), 1u);
  EXPECT_EQ(EntryLabel(list.rows[list.groups[0].rows[0]].entry), u"FIRST");
  EXPECT_EQ(+list.rows[list.groups[0].rows[0]].entry.start, 63u);
  ASSERT_EQ(list.repairs.size(), 1u);
  EXPECT_EQ(list.repairs[0].imagePath, path);
  ASSERT_EQ(list.repairs[0].listing.afterLast.size(), 1u);
  EXPECT_EQ(+list.repairs[0].listing.afterLast[0].start, 1071u);
  EXPECT_EQ(list.repairs[0].listing.wrongMbrEntries, 3);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrova
