// The free-space scan on volumes made at test time by real tools
// (scripts/make-test-images.sh): a folder tree deleted and its entry in the
// parent reused, so only the scan reaches it. Its files must be listed under
// "Lost files" (or "Rebuild") with their long names and come back byte-exact.
// NTFS: a deleted file's record copied into free clusters is found there.
#include "explore/volume_session.h"
#include "fs/ntfs/ntfs_files.h"
#include "scan/virtual_folders.h"
#include "support/cli_run.h"
#include "support/mini_json.h"
#include "support/recording_ui.h"
#include "support/sha256.h"
#include "support/temp_dir.h"
#include "support/tsv.h"
#include "volume/mount.h"
#include "volume/open_volume.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kestrova {
namespace {

struct ScanFile {
  std::string image, name;
  std::uint64_t size = 0;
  std::string sha;
};

std::vector<ScanFile> ReadScanFiles(const std::string& path) {
  std::vector<ScanFile> rows;
  for (const auto& f : test::ReadTsv(path, 4)) rows.push_back({f[0], f[1], std::stoull(f[2]), f[3]});
  return rows;
}

class ScanImages : public test::TempDirTest {
 protected:
  ScanImages() : TempDirTest("kestrova-scan") {}
  const std::string dir = KESTROVA_TEST_IMAGES_DIR;
};

TEST_F(ScanImages, LostTreeIsListedAndRecoveredByteExact) {
  const std::string tsv = dir + "/scanfiles.tsv";
  if (!std::filesystem::exists(tsv)) GTEST_SKIP() << "no " << tsv << ": run scripts/make-test-images.sh";
  const auto rows = ReadScanFiles(tsv);
  if (rows.empty()) GTEST_SKIP() << "no scan images were made (mtools / exfat-fuse missing)";
  for (const ScanFile& row : rows) {
    SCOPED_TRACE(row.image + ": " + row.name);
    const std::string image = test::Quoted(dir + "/" + row.image + ".img");
    // Before the scan the tree is nowhere in the folders.
    const test::CliRun before = test::Cli("ls " + image + " -r --json");
    ASSERT_EQ(before.code, 0);
    EXPECT_EQ(before.out.find(row.name), std::string::npos);

    std::string found;
    for (const char* top : {"Lost files", "Rebuild"}) {
      const test::CliRun ls = test::Cli("ls " + image + " " + test::Quoted(std::string("/") + top) + " -r --scan --json");
      ASSERT_EQ(ls.code, 0);
      const test::Json list = test::Json::Parse(ls.out);
      for (const test::Json& e : list.a)
        if (e["name"].s == row.name && !e["folder"].b && found.empty()) found = e["path"].s;
      if (!found.empty()) break;
    }
    ASSERT_FALSE(found.empty()) << "not under Lost files or Rebuild";
    const std::string out = P(row.image + "-out");
    const test::CliRun rec = test::Cli("recover " + image + " --scan --to " + test::Quoted(out) + " --json " +
                                       test::Quoted(found));
    EXPECT_EQ(rec.code, 0) << rec.out;
    const test::Json result = test::Json::Parse(rec.out);
    ASSERT_EQ(result["files"].a.size(), 1u);
    const std::string written = result["files"].a[0]["output"].s;
    EXPECT_EQ(std::filesystem::file_size(written), row.size);
    EXPECT_EQ(test::Sha256Of(written), row.sha);
  }
}

TEST_F(ScanImages, ScanCommandReportsCountsInJson) {
  const std::string tsv = dir + "/scanfiles.tsv";
  if (!std::filesystem::exists(tsv) || ReadScanFiles(tsv).empty()) GTEST_SKIP() << "no scan images";
  const std::string image = test::Quoted(dir + "/" + ReadScanFiles(tsv)[0].image + ".img");
  const test::CliRun r = test::Cli("scan " + image + " --json");
  ASSERT_EQ(r.code, 0);
  const test::Json j = test::Json::Parse(r.out);
  EXPECT_EQ(j["end"].s, "finished");
  EXPECT_GE(j["lost"].n, 1);
  EXPECT_EQ(j["percent"].n, 100);
  EXPECT_TRUE(j["types"].kind == test::Json::Array);
  const test::CliRun noRaw = test::Cli("scan " + image + " --no-raw --json");
  ASSERT_EQ(noRaw.code, 0);
  EXPECT_EQ(test::Json::Parse(noRaw.out)["raw"].n, 0);
}

// The record of a deleted NTFS file laid into free clusters: the scan finds
// it there (the MFT is not collected), lists it under "Lost files" and its
// data, still free, comes back whole.
TEST_F(ScanImages, NtfsRecordInFreeSpaceIsFoundAndRecovered) {
  const std::string source = dir + "/ntfs-files.img";
  const std::string files = dir + "/fatfiles.tsv";
  if (!std::filesystem::exists(source) || !std::filesystem::exists(files)) GTEST_SKIP() << "no ntfs-files.img";
  std::string sha;
  for (const auto& f : test::ReadTsv(files, 5))
    if (f[0] == "ntfs-files" && f[1] == "/Old/Deep/inner.bin") sha = f[4];
  ASSERT_FALSE(sha.empty());
  const std::string copy = P("ntfs-record.img");
  std::filesystem::copy_file(source, copy);

  std::uint64_t recordOffset = 0, freeOffset = 0;
  {
    test::RecordingUi ui;
    VolumeSession s(ui);
    ASSERT_EQ(s.OpenSource(copy), SessionStatus::Ok);
    ASSERT_EQ(s.MountOnly(), SessionStatus::Ok);
    WorkerToken token;
    s.CollectMft(token);
    // inner.bin's record, where the MFT keeps it.
    EntryList& lost = s.lists().lost;
    std::scoped_lock g(lost.lock);
    for (std::size_t i = 0; i < lost.size(); ++i) {
      const ScanEntry e = lost.at(i);
      const std::u16string* name = lost.NameOf(e);
      if (name && *name == u"inner.bin") recordOffset = e.RecordSector() * 512;
    }
  }
  ASSERT_NE(recordOffset, 0u);
  {
    // A free cluster near the end of the volume, past the data the tools wrote.
    test::RecordingUi ui;
    VolumeSession s(ui);
    ASSERT_EQ(s.OpenSource(copy), SessionStatus::Ok);
    ASSERT_EQ(s.MountOnly(), SessionStatus::Ok);
    auto& d = s.device();
    const std::uint64_t clusters = (d.volumeLastSector + 1) / d.sectorsPerCluster;
    NtfsVolume probe;
    ASSERT_TRUE(MountNtfsGeometry(d, s.mountedVolume(), true, probe));
    for (std::uint64_t c = clusters - 64; c > clusters / 2 && !freeOffset; --c)
      if (IsNtfsClusterFree(probe, c) && IsNtfsClusterFree(probe, c + 1)) freeOffset = c * d.sectorsPerCluster * 512;
  }
  ASSERT_NE(freeOffset, 0u);
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<char> record(1024);
    f.seekg(static_cast<std::streamoff>(recordOffset));
    f.read(record.data(), 1024);
    f.seekp(static_cast<std::streamoff>(freeOffset));
    f.write(record.data(), 1024);
  }
  const test::CliRun ls = test::Cli("ls " + test::Quoted(copy) + " '/Lost files' --scan --no-mft --json");
  ASSERT_EQ(ls.code, 0);
  bool listed = false;
  for (const test::Json& e : test::Json::Parse(ls.out).a) listed = listed || e["name"].s == "inner.bin";
  ASSERT_TRUE(listed);
  const std::string out = P("ntfs-out");
  const test::CliRun rec = test::Cli("recover " + test::Quoted(copy) + " --scan --no-mft --to " + test::Quoted(out) +
                                     " --json '/Lost files/inner.bin'");
  EXPECT_EQ(rec.code, 0);
  const test::Json result = test::Json::Parse(rec.out);
  ASSERT_EQ(result["files"].a.size(), 1u);
  EXPECT_EQ(test::Sha256Of(result["files"].a[0]["output"].s), sha);
}

TEST_F(ScanImages, AWholeDeviceOfMoreThanTwoToThe32ClustersKeepsItsTailForTheNtfsReader) {
  // A sparse 3 TiB source mounted RAW has one cluster per sector: 6 x 2^30
  // clusters, more than the geometry's 32-bit field holds.
  const std::filesystem::path big = test::TempDirTest::dir / "3tib.img";
  { std::ofstream(big, std::ios::binary).put('\0'); }
  std::error_code ec;
  std::filesystem::resize_file(big, 3ull << 40, ec);
  if (ec) GTEST_SKIP() << "this file system cannot hold a sparse 3 TiB file: " << ec.message();
  test::RecordingUi ui;
  ScanFlags scan;
  SectorDevice device(scan);
  OpenRequest whole;
  whole.imagePath = big.string();
  whole.request = FsType::RawOther;
  OpenedVolume opened;
  ASSERT_TRUE(OpenDevice(device, DriveTables{}, ui, whole, opened));
  MountRequest request;
  request.request = FsType::RawOther;
  MountedVolume mounted;
  ASSERT_TRUE(MountVolume(device, ui, request, opened, mounted));
  NtfsVolume v;
  ASSERT_TRUE(MountNtfsGeometry(device, mounted, false, v));
  const std::uint64_t sectors = (3ull << 40) / 512;
  EXPECT_EQ(v.lastCluster, sectors / device.sectorsPerCluster - 1);
  EXPECT_GT(v.lastCluster, 0xFFFFFFFFull);
}

}  // namespace
}  // namespace kestrova
