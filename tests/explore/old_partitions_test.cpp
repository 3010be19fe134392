// The free-space scan's probe for old NTFS volumes before its walk: which
// sectors reach it, what the partition search's NTFS test makes of them, and
// a real NTFS image left deleted inside a FAT32 volume.
#include "explore/old_partitions.h"
#include "explore/volume_session.h"
#include "scanner/scan_driver.h"
#include "support/crafted.h"
#include "support/recording_ui.h"

#include "common/worker_thread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <unistd.h>

namespace kestrova {
namespace {

using test::PutLe32;
using test::PutText;

// 4096 sectors, no file system: a FAT32 boot sector at 100; an NTFS volume at
// 1000..1999 whose primary boot sector is gone (backup at 1999, MFT record 0
// at 1032); a primary NTFS boot sector at 3000 followed by its loader's name
// (500 sectors, MFT at 3032).
struct CraftedDrive {
  test::MemDevice mem{test::Image(4096 * 512, 0)};
  ResultLists lists;
  SilentUi ui;

  CraftedDrive() {
    lists.Reset();
    test::WriteFat32Boot(mem.at(100), 2000, 0x1234, "CRAFTFAT", 1, 64);
    test::WriteNtfsBoot(mem.at(1999), 999, 0xABCD, 4);
    PutText(mem.at(1032), "FILE");
    test::WriteNtfsBoot(mem.at(3000), 499, 0xBEEF, 4);
    const char16_t loader[] = u"NTLDR";
    std::memcpy(mem.at(3001) + 2, loader, 10);
    PutText(mem.at(3032), "FILE");
  }
};

struct RecordingProbe : BootSectorProbe {
  std::vector<std::uint64_t> sectors;
  std::vector<bool> namesLoader;  // the sector handed as `next` starts with the loader's name
  void Probe(std::uint64_t sector, std::span<const std::uint8_t>, std::span<const std::uint8_t> next) override {
    sectors.push_back(sector);
    namesLoader.push_back(next.size() >= 12 && next[2] == 'N' && next[4] == 'T' && next[6] == 'L');
  }
};

ScanEnd ScanWithProbe(CraftedDrive& d, BootSectorProbe* probe, SectorRange range, bool reverse = false,
            const ScanPosition* resume = nullptr) {
  ScanTarget target{d.mem.device, d.lists, d.ui};
  target.bootProbe = probe;
  ScanOptions options;
  options.raw = false;
  options.reverse = reverse;
  options.bootProbe = range;
  WorkerToken token;
  WorkerRunScope running(token);
  ScanDriver driver(target, options, resume);
  return driver.Run(token).end;
}

TEST(OldPartitionProbe, EveryBootSignatureInTheRangeAndNothingElse) {
  struct Case {
    const char* what;
    SectorRange range;
    std::vector<std::uint64_t> handed;
  };
  const std::vector<Case> cases = {
      {"the whole drive", {0, 4096}, {100, 1999, 3000}},
      {"ends just before the backup", {0, 1999}, {100}},
      {"one sector", {1999, 1}, {1999}},
      {"runs past the drive's end", {2500, 100000}, {3000}},
      {"begins past the drive's end", {5000, 10}, {}},
      {"empty", {0, 0}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CraftedDrive drive;
    RecordingProbe probe;
    EXPECT_EQ(ScanWithProbe(drive, &probe, c.range), ScanEnd::Finished);
    EXPECT_EQ(probe.sectors, c.handed);
    for (std::size_t i = 0; i < probe.sectors.size(); ++i)
      EXPECT_EQ(probe.namesLoader[i], probe.sectors[i] == 3000 && probe.sectors[i] + 1 < c.range.first + c.range.count)
          << "the follower of " << probe.sectors[i];
  }
}

TEST(OldPartitionProbe, NotRunByAResumedScanNorByTheReverseSearch) {
  CraftedDrive drive;
  RecordingProbe probe;
  ScanPosition resume = MakeScanPosition();
  ScanWithProbe(drive, &probe, {0, 4096}, false, &resume);
  ScanWithProbe(drive, &probe, {0, 4096}, true);
  EXPECT_TRUE(probe.sectors.empty());
}

TEST(OldPartitionProbe, SkippingEndsTheProbeAfterItsBlockAndTheWalkStillRuns) {
  // The window's Skip arrives while the first 1 MiB block is being looked
  // at: that block is finished, the second (sector 3000) is never read.
  struct SkippingProbe : RecordingProbe {
    ScanDriver* driver = nullptr;
    void Probe(std::uint64_t sector, std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> next) override {
      RecordingProbe::Probe(sector, bytes, next);
      driver->SkipProbe();
    }
  };
  CraftedDrive drive;
  SkippingProbe probe;
  ScanTarget target{drive.mem.device, drive.lists, drive.ui};
  target.bootProbe = &probe;
  ScanOptions options;
  options.raw = false;
  options.bootProbe = {0, 4096};
  WorkerToken token;
  WorkerRunScope running(token);
  ScanDriver driver(target, options);
  probe.driver = &driver;
  const ScanResult result = driver.Run(token);
  EXPECT_EQ(result.end, ScanEnd::Finished) << "skipping the probe is not stopping the scan";
  EXPECT_EQ(probe.sectors, (std::vector<std::uint64_t>{100, 1999}));
  const ScanSnapshot s = driver.Snapshot();
  EXPECT_FALSE(s.probing);
  EXPECT_EQ(s.probeDone, 2048u);
  EXPECT_EQ(s.probeTotal, 4096u);
}

TEST(OldPartitionProbe, NtfsVolumesFromTheirBackupOrPrimaryBootSector) {
  struct Case {
    const char* what;
    SectorRange range;
    std::uint64_t ownStart;  // the scanned volume: not a find of its own
    std::set<std::uint64_t> starts;
  };
  const std::vector<Case> cases = {
      {"both, and no FAT32 (the probe looks for NTFS only)", {0, 4096}, 4000, {1000, 3000}},
      {"the backup alone gives its volume's start", {1500, 600}, 4000, {1000}},
      {"the primary, its loader read from beyond the range", {3000, 1}, 4000, {3000}},
      {"the scanned volume itself is left out", {0, 4096}, 1000, {3000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CraftedDrive drive;
    OldPartitionProbe probe(drive.mem.device, drive.ui, c.ownStart);
    ScanWithProbe(drive, &probe, c.range);
    std::set<std::uint64_t> starts;
    for (const DriveEntry& e : probe.Found()) {
      starts.insert(std::uint64_t{e.start});  // packed fields by value
      EXPECT_EQ(EntryFsName(e), u"NTFS");
      EXPECT_EQ(+e.damagedResult, 0) << "its MFT record 0 is there";
      if (std::uint64_t{e.start} == 1000) {
        EXPECT_EQ(std::uint64_t{e.sectors}, 1000u) << "up to and with the backup";
      }
    }
    EXPECT_EQ(starts, c.starts);
  }
}

// A real NTFS image (mkntfs) copied into a FAT32 volume and deleted: the scan
// with the volume's range probed lists it at the sector its copy begins.
TEST(OldPartitionProbe, DeletedNtfsImageInsideARealFat32Volume) {
  if (std::system("export PATH=$PATH:/sbin:/usr/sbin; command -v mkntfs >/dev/null && command -v mkfs.vfat "
                  ">/dev/null && command -v mcopy >/dev/null") != 0)
    GTEST_SKIP() << "needs mkntfs, mkfs.vfat and mcopy (ntfs-3g, dosfstools, mtools)";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrova-oldntfs-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string ntfs = (dir / "old.img").string();
  const std::string img = (dir / "fat32.img").string();
  const std::string script = "export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; truncate -s 8M '" + ntfs +
                             "' && mkntfs -F -f -q -L OLDNTFS '" + ntfs + "' >/dev/null 2>&1 && truncate -s 64M '" +
                             img + "' && mkfs.vfat -F 32 -s 1 -n KVF32 '" + img + "' >/dev/null && mcopy -i '" + img +
                             "' '" + ntfs + "' ::/OLD.IMG && mdel -i '" + img + "' ::/OLD.IMG";
  ASSERT_EQ(std::system(("bash -c \"" + script + "\"").c_str()), 0);
  // Where the copy begins: the one sector with the NTFS name at 3.
  std::ifstream in(img, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::uint64_t at = 0;
  for (std::uint64_t s = 1; s * 512 + 512 <= bytes.size(); ++s)
    if (bytes.compare(s * 512 + 3, 8, "NTFS    ") == 0 && static_cast<std::uint8_t>(bytes[s * 512 + 510]) == 0x55) {
      at = s;
      break;
    }
  ASSERT_NE(at, 0u);
  test::RecordingUi ui;
  VolumeSession session(ui);
  ASSERT_EQ(session.OpenSource(img), SessionStatus::Ok);
  ASSERT_EQ(session.MountOnly(), SessionStatus::Ok);
  ASSERT_EQ(session.fsType(), FsType::Fat32);
  ScanOptions options;
  options.bootProbe = session.MountedVolumeRange();
  EXPECT_EQ(options.bootProbe.count, 64u * 2048);
  auto scan = session.StartScan(options);
  ASSERT_TRUE(scan);
  scan->Wait();
  const std::vector<DriveEntry> found = session.OldPartitions();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(EntryFsName(found[0]), u"NTFS");
  EXPECT_EQ(std::uint64_t{found[0].start}, at);
  EXPECT_EQ(std::uint64_t{found[0].sectors}, 8u * 2048 - 1) << "found by its primary: the count its boot sector gives";
  EXPECT_EQ(+found[0].damagedResult, 0);
  EXPECT_EQ(EntryLabel(found[0]), u"OLDNTFS");
  // The command line lists it after the counts.
  const std::string json = (dir / "scan.json").string();
  ASSERT_EQ(std::system((std::string(KESTROVA_CLI) + " scan '" + img + "' --old-partitions --json >'" + json +
                         "' 2>/dev/null").c_str()),
            0);
  std::ifstream out(json);
  const std::string text((std::istreambuf_iterator<char>(out)), {});
  EXPECT_NE(text.find("\"oldPartitions\":[{\"fileSystem\":\"NTFS\",\"start\":" + std::to_string(at) + ","),
            std::string::npos)
      << text;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrova
