// Every volume of every shared fixture image is identified with the manifest's
// file system, start, sector count, label and serial.
#include "common/text.h"
#include "support/image_source.h"
#include "support/fixtures.h"
#include "support/mini_json.h"
#include "volume/identify.h"
#include "volume/list_partitions.h"
#include "volume/mount.h"
#include "volume/open_volume.h"
#include "support/recording_ui.h"

#include <regex>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrova {
namespace {
namespace fs = std::filesystem;

std::string ExpectedFsName(const std::string& manifestFs) {
  if (manifestFs == "exFAT") return "EXFAT";
  if (manifestFs == "LINUX-SWAP") return "Linux Swap 2";
  if (manifestFs == "REISERFS") return "ReiserFS";
  return manifestFs;  // FAT12, FAT16, FAT32, NTFS; ext is checked by prefix
}

std::uint32_t ExpectedSerial(const std::string& text) {
  std::string hex;
  for (char c : text)
    if (c != '-') hex += c;
  // NTFS serials are 64-bit; the entry keeps the low 32 bits.
  return static_cast<std::uint32_t>(std::stoull(hex.substr(hex.size() > 8 ? hex.size() - 8 : 0), nullptr, 16));
}

TEST(Fixtures, EveryVolumeOfEveryManifestIsIdentified) {
  SKIP_WITHOUT_FIXTURES();
  int volumes = 0;
  test::ForEachFixture([&](const test::Json& m, const std::string& image) {
    const std::string name = m["name"].s;
    test::ImageDevice img(image);
    ASSERT_TRUE(img.ok);
    const bool damagedCopy = name.find("bootzero") != std::string::npos;
    for (const test::Json& p : m["partitions"].a) {
      const std::string fsName = p["fs"].s;
      if (fsName == "EXTENDED") continue;
      SCOPED_TRACE(fsName + " at " + std::to_string(static_cast<std::uint64_t>(p["start_sector"].n)));
      const auto start = static_cast<std::uint64_t>(p["start_sector"].n);
      const auto count = static_cast<std::uint64_t>(p["sector_count"].n);
      IdentifyContext ctx{img.device, 0, nullptr, nullptr};
      DriveEntry e = MakeDriveEntry();
      bool ok = false;
      if (m["scheme"].s == "gpt") {
        GptEntry g{start, start + count - 1};
        ok = IdentifyVolume(ctx, start, nullptr, e, {}, &g);
      } else {
        MbrEntry t;
        t.sectorCount = static_cast<std::uint32_t>(count);
        t.type = p["type_byte"].kind == test::Json::String
                     ? static_cast<std::uint8_t>(std::stoul(p["type_byte"].s, nullptr, 16))
                     : 0;
        ok = IdentifyVolume(ctx, start, &t, e);
        if (damagedCopy && fsName == "exFAT") {
          // exFAT's backup region is tried by the open, not by the listing.
          std::vector<std::uint8_t> boot(512);
          ASSERT_EQ(img.device.ReadSectorsAt(start, boot, 1, 0), ReadOk);
          img.device.GeometryForMount().volumeStart = start;
          const OpenIdentification id = IdentifyAtOpen(img.device, boot, count);
          img.device.GeometryForMount().volumeStart = 0;
          ASSERT_EQ(id.type, FsType::Exfat);
          ok = IdentifyVolume(ctx, start, &t, e, id.bootSector);
          e.bootDamaged = 1;
        }
      }
      ASSERT_TRUE(ok);
      ++volumes;
      const std::string got = ToUtf8(EntryFsName(e));
      if (fsName.rfind("EXT", 0) == 0) {
        EXPECT_EQ(got.rfind("Ext", 0), 0u) << got;  // Ext2/Ext3/Ext by the compatible-features word
      } else {
        EXPECT_EQ(got, ExpectedFsName(fsName));
      }
      EXPECT_EQ(+(e.start), start);
      EXPECT_EQ(+(e.sectors), count);
      // Swap volumes are labelled "Linux Swap" whatever mkswap was given.
      const std::string label = fsName == "LINUX-SWAP" ? "Linux Swap" : p["label"].s;
      EXPECT_EQ(ToUtf8(EntryLabel(e)), label);
      if (p.Has("serial")) {
        EXPECT_EQ(+(e.serial), ExpectedSerial(p["serial"].s));
      }
      EXPECT_EQ(e.bootDamaged != 0, damagedCopy);
    }
  });
  EXPECT_GT(volumes, 0);
}

// Starts of partitions a manifest says are missing from the table ("... at sector N ...").
std::vector<std::uint64_t> LostStarts(const test::Json& m) {
  std::vector<std::uint64_t> starts;
  if (!m.Has("defects")) return starts;
  static const std::regex kAt("lost partition\\).* at sector ([0-9]+)");
  for (const test::Json& d : m["defects"].a) {
    std::smatch hit;
    if (std::regex_search(d.s, hit, kAt)) starts.push_back(std::stoull(hit[1].str()));
  }
  return starts;
}

TEST(Fixtures, PartitionTablesListEveryVolumeTheyHold) {
  SKIP_WITHOUT_FIXTURES();
  int checked = 0;
  test::ForEachFixture([&](const test::Json& m, const std::string& image) {
    const std::string name = m["name"].s;
    test::ImageDevice img(image);
    ASSERT_TRUE(img.ok);
    std::vector<DriveEntry> damaged;
    IdentifyContext ctx{img.device, 0, nullptr, &damaged};
    const PartitionListing listing = ListPartitions(ctx, img.device.deviceSectors);

    // A wiped MBR leaves nothing to list: finding those volumes is the partition search's job.
    const bool wiped = name.find("wiped") != std::string::npos;
    const auto lost = LostStarts(m);
    std::size_t expected = 0;
    for (const test::Json& p : m["partitions"].a) {
      const std::string fsName = p["fs"].s;
      const auto start = static_cast<std::uint64_t>(p["start_sector"].n);
      if (fsName == "EXTENDED") continue;
      SCOPED_TRACE(fsName + " at " + std::to_string(start));
      const auto it = std::find_if(listing.volumes.begin(), listing.volumes.end(),
                                   [&](const DriveEntry& e) { return e.start == start; });
      if (wiped || std::count(lost.begin(), lost.end(), start)) {
        EXPECT_EQ(it, listing.volumes.end()) << "not in any table";
        continue;
      }
      ++expected;
      ASSERT_NE(it, listing.volumes.end());
      ++checked;
      EXPECT_EQ(+it->sectors, static_cast<std::uint64_t>(p["sector_count"].n));
      const std::string got = ToUtf8(EntryFsName(*it));
      if (fsName.rfind("EXT", 0) == 0) {
        EXPECT_EQ(got.rfind("Ext", 0), 0u) << got;
      } else {
        EXPECT_EQ(got, ExpectedFsName(fsName));
      }
      EXPECT_EQ(it->bootDamaged != 0, name.find("bootzero") != std::string::npos);
    }
    EXPECT_EQ(listing.volumes.size(), expected);
    EXPECT_EQ(listing.gpt, m["scheme"].s == "gpt");
    EXPECT_EQ(listing.bare, m["scheme"].s == "none");
    if (name == "mbr-lostpart") {
      EXPECT_EQ(listing.wrongMbrEntries, 2) << "the deleted slot and the empty fourth";
    }
  });
  EXPECT_GT(checked, 0);
}

TEST(Fixtures, EveryListedVolumeMountsWithItsManifestGeometry) {
  SKIP_WITHOUT_FIXTURES();
  int mounted = 0;
  test::ForEachFixture([&](const test::Json& m, const std::string& image) {
    for (const test::Json& p : m["partitions"].a) {
      if (!p.Has("geometry")) continue;
      const test::Json& g = p["geometry"];
      const auto start = static_cast<std::uint64_t>(p["start_sector"].n);
      const auto count = static_cast<std::uint64_t>(p["sector_count"].n);
      SCOPED_TRACE(p["fs"].s + " at " + std::to_string(start));
      test::RecordingUi ui;
      ScanFlags scan;
      SectorDevice device(scan);
      DriveTables tables;
      OpenRequest request;
      request.imagePath = image;
      request.start = start;
      request.count = count;
      OpenedVolume opened;
      ASSERT_TRUE(OpenDevice(device, tables, ui, request, opened));
      MountRequest mr;
      mr.partitionCount = count;
      MountedVolume mv;
      ASSERT_TRUE(MountVolume(device, ui, mr, opened, mv));
      ++mounted;
      EXPECT_EQ(device.sectorsPerCluster, static_cast<std::uint32_t>(g["sectors_per_cluster"].n));
      EXPECT_EQ(device.volumeLastSector, count - 1);
      const std::string fsName = g["fs"].s;
      if (fsName == "NTFS") {
        EXPECT_EQ(device.fsType, FsType::Ntfs);
        EXPECT_EQ(mv.mftRecordSize, static_cast<std::uint32_t>(g["mft_record_size"].n));
        EXPECT_EQ(mv.mftStartSector, static_cast<std::uint64_t>(g["mft_cluster"].n) * device.sectorsPerCluster);
        EXPECT_TRUE(mv.mftUsable);
      } else {
        EXPECT_EQ(device.dataStart, static_cast<std::uint64_t>(g["data_start_sector"].n));
        if (g.Has("root_cluster") && fsName != "FAT16" && fsName != "FAT12") {
          EXPECT_EQ(device.rootCluster, static_cast<std::uint32_t>(g["root_cluster"].n));
        }
        if (g.Has("clusters")) {
          EXPECT_EQ(device.lastCluster, static_cast<std::uint32_t>(g["clusters"].n) + 1);
        }
      }
    }
  });
  EXPECT_GT(mounted, 0);
}

}  // namespace
}  // namespace kestrova
