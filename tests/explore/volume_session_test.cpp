// The core's volume session over real images made at test time: what both
// front ends rely on. Every file of the manifest is found by its path, its
// rating recomputed from the volume equals the listed one, and a range read
// gives the same bytes as the recovery writer.
#include "explore/volume_session.h"

#include "common/text.h"
#include "support/recording_ui.h"
#include "support/sha256.h"
#include "support/tsv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <map>

namespace kestrova {
namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  const std::filesystem::path tmp = std::filesystem::temp_directory_path() / ("kestrova-range-" + std::to_string(::getpid()));
  std::ofstream(tmp, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const std::string hash = test::Sha256Of(tmp.string());
  std::filesystem::remove(tmp);
  return hash;
}

TEST(VolumeSession, EveryManifestFileIsResolvedRatedAndReadThroughTheSession) {
  const std::string dir = KESTROVA_TEST_IMAGES_DIR;
  const auto rows = test::ReadTsv(dir + "/fatfiles.tsv", 5);
  if (rows.empty()) GTEST_SKIP() << "no fatfiles.tsv: run scripts/make-test-images.sh";
  std::map<std::string, std::vector<std::vector<std::string>>> byImage;
  for (const auto& r : rows) byImage[r[0]].push_back(r);
  for (const auto& [image, files] : byImage) {
    SCOPED_TRACE(image);
    test::RecordingUi ui;
    VolumeSession session(ui);
    ASSERT_EQ(session.OpenSource(dir + "/" + image + ".img"), SessionStatus::Ok);
    const SessionStatus mounted = session.rows().size() == 1 ? session.MountOnly() : session.MountRow(0);
    ASSERT_EQ(mounted, SessionStatus::Ok);
    WorkerToken token;
    session.CollectMft(token);
    FsReader& reader = session.volume();
    for (const auto& f : files) {
      SCOPED_TRACE(f[1]);
      // A deleted FAT short name has lost its first letter: the listing shows "?".
      std::optional<VolumePath> path = session.Resolve(f[1]);
      if (!path && f[3] != "existing") {
        std::string wanted = f[1];
        wanted[wanted.rfind('/') + 1] = '?';
        path = session.Resolve(wanted);
      }
      ASSERT_TRUE(path.has_value());
      ASSERT_FALSE(path->IsFolder());
      const ScanEntry& e = path->entry->entry;
      const std::uint64_t size = e.size;  // copies: the record is packed
      const std::uint8_t listed = e.rating;
      EXPECT_EQ(size, std::stoull(f[2]));
      EXPECT_EQ(reader.Rate(e), listed) << "the rating computed again agrees with the listing";
      if (f[3] != "existing" && listed < rating::kIntact) continue;  // partly reused: no exact bytes to expect
      if (size > (4u << 20)) continue;
      const std::vector<std::uint8_t> whole = reader.ReadRange(e, 0, size);
      EXPECT_EQ(Hex(whole), f[4]) << "the range read gives the file";
      if (size > 10) {
        const std::vector<std::uint8_t> middle = reader.ReadRange(e, 3, size - 5);
        ASSERT_EQ(middle.size(), size - 5);
        EXPECT_TRUE(std::equal(middle.begin(), middle.end(), whole.begin() + 3));
      }
    }
  }
}

TEST(VolumeSession, SourcesThatAreNotVolumesGiveTheirStatus) {
  test::RecordingUi ui;
  VolumeSession session(ui);
  EXPECT_EQ(session.OpenSource("/nonexistent/kestrova.img"), SessionStatus::Missing);
  EXPECT_EQ(session.OpenSource(std::filesystem::temp_directory_path().string()), SessionStatus::IsFolder);
  EXPECT_FALSE(session.mounted());
  EXPECT_FALSE(session.Resolve("/").has_value());
}

// A real FAT32 volume (mkfs.vfat, 1-sector clusters: its table is a sector
// longer than the estimate) with its boot sector and the backup at 6 zeroed:
// forcing FAT32 in the drive settings finds the tables, lists the file and
// recovers it byte-exact. Also with 4-sector clusters chosen.
TEST(VolumeSession, ForcedFat32WithoutBootSectorsIsLocatedOnARealVolume) {
  if (std::system("command -v mkfs.vfat >/dev/null 2>&1 || test -x /sbin/mkfs.vfat") != 0 ||
      std::system("command -v mcopy >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs mkfs.vfat and mcopy (dosfstools, mtools)";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrova-f32locate-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string data;
  for (int i = 0; i < 30000; ++i) data.push_back(static_cast<char>((i * 2654435761u) >> 11));
  std::ofstream(dir / "data.bin", std::ios::binary) << data;
  for (const int spc : {1, 4}) {
    SCOPED_TRACE(spc);
    const std::string img = (dir / ("f32-" + std::to_string(spc) + ".img")).string();
    // FAT32 needs 65525 clusters: 160 MiB for 4-sector clusters.
    const int mib = spc == 1 ? 64 : 160;
    const std::string script = "export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; truncate -s " +
                               std::to_string(mib) + "M '" + img +
                               "' && mkfs.vfat -F 32 -s " + std::to_string(spc) + " -n KVF32 '" + img +
                               "' >/dev/null && mcopy -i '" + img + "' '" + (dir / "data.bin").string() +
                               "' ::/DATA.BIN && dd if=/dev/zero of='" + img +
                               "' bs=512 count=1 conv=notrunc status=none && dd if=/dev/zero of='" + img +
                               "' bs=512 seek=6 count=1 conv=notrunc status=none";
    ASSERT_EQ(std::system(("bash -c \"" + script + "\"").c_str()), 0);
    test::RecordingUi ui;
    VolumeSession session(ui);
    ASSERT_EQ(session.OpenSource(img), SessionStatus::Ok);
    DriveSettings settings;
    settings.overrideFs = true;
    settings.fsChoice = 1;  // FAT32
    settings.clusterChoice = spc == 1 ? 0 : 3;  // AUTO, or 2 kB
    ASSERT_EQ(session.MountAt(0, std::uint64_t{2048} * mib, settings), SessionStatus::Ok);
    EXPECT_TRUE(ui.boxes.empty()) << "no \"can't localize\" message";
    ASSERT_EQ(session.fsType(), FsType::Fat32);
    EXPECT_EQ(session.device().sectorsPerCluster, static_cast<std::uint32_t>(spc));
    const std::optional<VolumePath> path = session.Resolve("/DATA.BIN");
    ASSERT_TRUE(path.has_value());
    ASSERT_FALSE(path->IsFolder());
    const ScanEntry e = path->entry->entry;
    EXPECT_EQ(std::uint64_t{e.size}, data.size());
    const std::vector<std::uint8_t> bytes = session.volume().ReadRange(e, 0, data.size());
    EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == data) << "the file's own bytes";
  }
  std::filesystem::remove_all(dir);
}

// "RAW File Analyze" of the drive settings decides whether the scan tests
// headers at all; the scan's own metadata probes run either way.
TEST(VolumeSession, TheDrivesRawAnalysisSettingDecidesWhetherHeadersAreTested) {
  if (std::system("command -v mkfs.vfat >/dev/null 2>&1 || test -x /sbin/mkfs.vfat") != 0)
    GTEST_SKIP() << "needs mkfs.vfat (dosfstools)";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrova-rawsetting-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string img = (dir / "fat16.img").string();
  ASSERT_EQ(std::system(("bash -c \"export PATH=$PATH:/sbin:/usr/sbin; truncate -s 32M '" + img +
                         "' && mkfs.vfat -F 16 -n KVRAW '" + img + "' >/dev/null\"").c_str()),
            0);
  // A whole tiny JPEG in free space, 30 MiB in.
  const unsigned char jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00, 0x01, 0x01, 0x00,
                                0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0x22, 0xFF, 0xD9};
  {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(30 << 20);
    f.write(reinterpret_cast<const char*>(jpeg), sizeof jpeg);
  }
  struct Case {
    const char* what;
    bool ticked;
    bool raw;  // the command: "RAW scan" or "Scan free region"
    bool found;
  };
  for (const Case& c : {Case{"ticked, RAW scan", true, true, true}, Case{"unticked, RAW scan", false, true, false},
                        Case{"ticked, free region only", true, false, false}}) {
    SCOPED_TRACE(c.what);
    test::RecordingUi ui;
    VolumeSession session(ui);
    ASSERT_EQ(session.OpenSource(img), SessionStatus::Ok);
    DriveSettings settings;
    settings.rawAnalyze = c.ticked ? 0 : 1;
    ASSERT_EQ(session.MountAt(0, 32 * 2048, settings), SessionStatus::Ok);
    ScanOptions options;
    options.raw = c.raw;
    auto scan = session.StartScan(options);
    ASSERT_TRUE(scan);
    const ScanResult r = scan->Wait();
    EXPECT_EQ(r.end, ScanEnd::Finished);
    EXPECT_EQ(r.rawCount != 0, c.found);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrova
