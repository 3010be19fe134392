// Disks partitioned by sfdisk (MBR with an extended chain, GPT) holding volumes
// made by mkfs.vfat, mkntfs and mkfs.exfat: every partition is listed from the
// tables and mounts with a geometry that covers exactly its sectors.
#include "common/text.h"
#include "support/image_source.h"
#include "support/recording_ui.h"
#include "support/tsv.h"
#include "volume/list_partitions.h"
#include "volume/mount.h"
#include "volume/open_volume.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace kestrova {
namespace {

struct Part {
  std::uint64_t start = 0, sectors = 0;
  std::string fs, label;
};

std::map<std::string, std::vector<Part>> ReadParts(const std::string& path) {
  std::map<std::string, std::vector<Part>> disks;
  for (const auto& f : test::ReadTsv(path, 5)) disks[f[0]].push_back({std::stoull(f[1]), std::stoull(f[2]), f[3], f[4]});
  return disks;
}

TEST(PartitionedImages, TablesMadeBySfdiskListEveryVolume) {
  const std::string dir = KESTROVA_TEST_IMAGES_DIR;
  const auto disks = ReadParts(dir + "/partitions.tsv");
  if (disks.empty()) GTEST_SKIP() << "no partitioned test disks: run scripts/make-test-images.sh (needs sfdisk, dosfstools, ntfs-3g, exfatprogs)";
  for (const auto& [name, parts] : disks) {
    SCOPED_TRACE(name);
    const std::string image = dir + "/" + name + ".img";
    test::ImageDevice img(image);
    ASSERT_TRUE(img.ok);
    IdentifyContext ctx{img.device, 0, nullptr, nullptr};
    const PartitionListing listing = ListPartitions(ctx, img.device.deviceSectors);
    EXPECT_EQ(listing.gpt, name.rfind("gpt", 0) == 0);
    EXPECT_EQ(listing.hasExtended, name.rfind("mbr", 0) == 0);
    EXPECT_TRUE(listing.afterLast.empty());
    ASSERT_EQ(listing.volumes.size(), parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
      const DriveEntry& e = listing.volumes[i];
      SCOPED_TRACE(parts[i].label);
      EXPECT_EQ(+e.start, parts[i].start);
      EXPECT_EQ(+e.sectors, parts[i].sectors);
      EXPECT_EQ(ToUtf8(EntryFsName(e)), parts[i].fs);
      EXPECT_EQ(ToUtf8(EntryLabel(e)), parts[i].label);

      // Mount it as the drive list would open it.
      test::RecordingUi ui;
      ScanFlags scan;
      SectorDevice device(scan);
      DriveTables tables;
      DriveEntry entry = e;
      OpenedVolume opened;
      MountedVolume mounted;
      ASSERT_TRUE(OpenAndMountEntry(device, tables, ui, entry, image, {}, MountRequest{}, opened, mounted));
      EXPECT_EQ(+entry.detectedFs, static_cast<std::int32_t>(device.fsType));
      EXPECT_EQ(ToUtf8(EntryFsName(e)), parts[i].fs);
      EXPECT_EQ(device.volumeStart, parts[i].start);
      EXPECT_EQ(device.volumeLastSector, parts[i].sectors - 1);
      EXPECT_FALSE(mounted.damaged);
      if (device.fsType == FsType::Ntfs) {
        EXPECT_TRUE(mounted.mftUsable);
      } else {
        // The last cluster ends inside the partition.
        const std::uint64_t end = device.dataStart + std::uint64_t{device.lastCluster - 1} * device.sectorsPerCluster;
        EXPECT_LE(end, parts[i].sectors);
      }
      EXPECT_TRUE(ui.boxes.empty());
    }
  }
}

}  // namespace
}  // namespace kestrova
