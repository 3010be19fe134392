// Identification of volumes made at test time by mkfs.vfat, mkfs.exfat, mkntfs,
// mkfs.ext2/3/4 and mkswap (scripts/make-test-images.sh), including copies whose
// boot sector was zeroed so that the backup must be found.
#include "common/text.h"
#include "support/image_source.h"
#include "support/tsv.h"
#include "support/cli_run.h"
#include "support/sha256.h"
#include "support/listing_match.h"

#include <map>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include "volume/identify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <sstream>

namespace kestrova {
namespace {

struct Row {
  std::string name, fs;
  std::uint64_t start = 0, sectors = 0;
  std::string label, serial;
  bool damaged = false;
};

std::vector<Row> ReadManifest(const std::string& path) {
  std::vector<Row> rows;
  for (const auto& f : test::ReadTsv(path, 7))
    rows.push_back({f[0], f[1], std::stoull(f[2]), std::stoull(f[3]), f[4], f[5], f[6] == "1"});
  return rows;
}

TEST(RealImages, EveryVolumeMadeByRealToolsIsIdentified) {
  const std::string dir = KESTROVA_TEST_IMAGES_DIR;
  const std::string manifest = dir + "/manifest.tsv";
  if (!std::filesystem::exists(manifest))
    GTEST_SKIP() << "no " << manifest << ": run scripts/make-test-images.sh (needs dosfstools, exfatprogs, ntfs-3g, e2fsprogs)";
  const auto rows = ReadManifest(manifest);
  ASSERT_FALSE(rows.empty());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::ImageDevice img(dir + "/" + row.name + ".img");
    ASSERT_TRUE(img.ok);
    IdentifyContext ctx{img.device, 0, nullptr, nullptr};
    MbrEntry table;
    table.sectorCount = static_cast<std::uint32_t>(row.sectors);
    DriveEntry e = MakeDriveEntry();
    bool ok = IdentifyVolume(ctx, row.start, &table, e);
    if (row.fs == "EXFAT" && row.damaged) {
      // The listing's backup search does not look at exFAT's backup region; the
      // open does (sector 12), and identification then works from that copy.
      std::vector<std::uint8_t> boot(512);
      ASSERT_EQ(img.device.ReadSectors(0, boot, 1), ReadOk);
      const OpenIdentification id = IdentifyAtOpen(img.device, boot, row.sectors);
      ASSERT_EQ(id.type, FsType::Exfat);
      EXPECT_EQ(id.bootSectorAt, 12u);
      ok = IdentifyVolume(ctx, row.start, &table, e, id.bootSector);
    } else {
      EXPECT_EQ(e.bootDamaged != 0, row.damaged);
    }
    ASSERT_TRUE(ok);
    const std::string fs = ToUtf8(EntryFsName(e));
    if (row.fs == "EXT") {
      EXPECT_EQ(fs.rfind("Ext", 0), 0u) << fs;  // named by the compatible-features word
    } else {
      EXPECT_EQ(fs, row.fs);
    }
    EXPECT_EQ(+(e.start), +(row.start));
    EXPECT_EQ(+(e.sectors), +(row.sectors));
    EXPECT_EQ(ToUtf8(EntryLabel(e)), row.label);
    if (row.serial != "-") {
      EXPECT_EQ(+(e.serial), std::stoul(row.serial, nullptr, 16));
    }
  }
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

TEST(RealImages, FatAndExfatVolumesFilledByRealToolsListTheirDeletedFiles) {
  const std::string dir = KESTROVA_TEST_IMAGES_DIR;
  const auto rows = test::ReadTsv(dir + "/fatfiles.tsv", 5);
  if (rows.empty()) GTEST_SKIP() << "no fatfiles.tsv: run scripts/make-test-images.sh (needs dosfstools, mtools, exfat-fuse)";
  std::map<std::string, test::Json> listings;
  for (const auto& r : rows) {
    SCOPED_TRACE(r[0] + r[1]);
    if (!listings.count(r[0])) {
      const test::CliRun run = test::Cli("ls " + test::Quoted(dir + "/" + r[0] + ".img") + " -r --json");
      ASSERT_EQ(run.code, 0);
      listings[r[0]] = test::Json::Parse(run.out);
    }
    const test::Json* l = test::FindListed(listings[r[0]], r[1]);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(static_cast<std::uint64_t>((*l)["size"].n), std::stoull(r[2]));
    EXPECT_EQ((*l)["status"].s == "existing", r[3] == "existing") << (*l)["status"].s;
    EXPECT_EQ((*l)["deleted"].b, r[3] == "deleted");
  }
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

TEST(RealImages, RecoveryCopiesEveryFileOfTheFilledImagesByteExact) {
  const std::string dir = KESTROVA_TEST_IMAGES_DIR;
  const auto rows = test::ReadTsv(dir + "/fatfiles.tsv", 5);
  if (rows.empty()) GTEST_SKIP() << "no fatfiles.tsv: run scripts/make-test-images.sh (needs dosfstools, mtools, exfat-fuse)";
  const std::filesystem::path out = std::filesystem::temp_directory_path() / ("kestrova-rec-" + std::to_string(::getpid()));
  std::set<std::string> done;
  for (const auto& r : rows) {
    SCOPED_TRACE(r[0] + r[1]);
    const std::filesystem::path to = out / r[0];
    if (done.insert(r[0]).second) {
      const test::CliRun run = test::Cli("recover " + test::Quoted(dir + "/" + r[0] + ".img") + " --to " +
                                         test::Quoted(to.string()) + " -r --json");
      ASSERT_EQ(run.code, 0);
      const test::Json report = test::Json::Parse(run.out);
      EXPECT_EQ(report["failed"].n, 0);
      EXPECT_EQ(report["skipped"].n, 0);
    }
    // A deleted short name lost its first character: "_" in the output.
    std::filesystem::path file = to / r[1].substr(1);
    if (!std::filesystem::exists(file)) {
      std::string alt = r[1].substr(1);
      alt[alt.rfind('/') == std::string::npos ? 0 : alt.rfind('/') + 1] = '_';
      file = to / alt;
    }
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_EQ(std::filesystem::file_size(file), std::stoull(r[2]));
    EXPECT_EQ(test::Sha256Of(file.string()), r[4]);
  }
  std::filesystem::remove_all(out);
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

// The CLI under a time limit: a listing that hangs fails the test instead of the run.
test::CliRun CliWithin(int seconds, const std::string& args) {
  const std::string cmd = "timeout " + std::to_string(seconds) + " " + std::string(KESTROVA_CLI) + " " + args + " 2>/dev/null";
  test::CliRun r{-1, {}};
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) r.out.append(buffer, n);
  const int status = ::pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(RealImages, AnExfatEntryWithAHugeSizeAndALoopingChainIsListedWithoutHanging) {
  const std::string img = std::string(KESTROVA_TEST_IMAGES_DIR) + "/exfat-hang.img";
  if (!std::filesystem::exists(img)) GTEST_SKIP() << "no " << img << ": run scripts/make-test-images.sh (needs exfatprogs)";
  const test::CliRun run = CliWithin(60, "ls " + test::Quoted(img) + " -r --json");
  ASSERT_EQ(run.code, 0) << "124: the listing did not end within a minute";
  const test::Json listed = test::Json::Parse(run.out);
  const test::Json* hang = test::FindListed(listed, "/hang");
  ASSERT_NE(hang, nullptr);
  EXPECT_TRUE((*hang)["deleted"].b);
}

std::vector<std::uint8_t> FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ntfs-3g wrote two files into the holes of a volume; their run lists span an
// attribute list with several extension records. One was deleted afterwards.
TEST(RealImages, AFragmentedNtfsFileIsRecoveredFromAllItsExtensionRecords) {
  const std::string dir = KESTROVA_TEST_IMAGES_DIR;
  const auto rows = test::ReadTsv(dir + "/ntfsfrag.tsv", 5);
  if (rows.empty()) GTEST_SKIP() << "no ntfsfrag.tsv: run scripts/make-test-images.sh (needs ntfs-3g and FUSE)";
  const std::string img = test::Quoted(dir + "/ntfs-frag.img");
  const test::CliRun listing = CliWithin(120, "ls " + img + " -r --json");
  ASSERT_EQ(listing.code, 0);
  const test::Json listed = test::Json::Parse(listing.out);
  const std::filesystem::path out = std::filesystem::temp_directory_path() / ("kestrova-frag-" + std::to_string(::getpid()));
  const test::CliRun run = CliWithin(300, "recover " + img + " --to " + test::Quoted(out.string()) + " -r --json");
  ASSERT_NE(run.code, -1);
  const test::Json report = test::Json::Parse(run.out);
  for (const auto& r : rows) {
    SCOPED_TRACE(r[0]);
    const bool existing = r[2] == "existing";
    if (existing) {
      EXPECT_GE(std::stoi(r[4]), 2) << "the file must span two or more extension records to test anything";
    }
    const test::Json* l = test::FindListed(listed, r[0]);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(static_cast<std::uint64_t>((*l)["size"].n), std::stoull(r[1]));
    EXPECT_EQ((*l)["deleted"].b, !existing);
    const test::Json* saved = nullptr;
    for (const test::Json& f : report["files"].a)
      if (f["source"].s == r[0]) saved = &f;
    ASSERT_NE(saved, nullptr);
    const std::filesystem::path file = out / r[0].substr(1);
    ASSERT_TRUE(std::filesystem::exists(file));
    if (existing || (*saved)["complete"].b) {
      // Complete means whole: never a short or spliced copy reported as recovered.
      EXPECT_TRUE((*saved)["complete"].b);
      EXPECT_EQ(std::filesystem::file_size(file), std::stoull(r[1]));
      EXPECT_EQ(test::Sha256Of(file.string()), r[3]);
    } else {
      // The deleted copy as far as the extents its attribute list still names.
      const auto got = FileBytes(file);
      const auto original = FileBytes(std::filesystem::path(dir) / "ntfs-frag" / r[0].substr(1));
      ASSERT_FALSE(got.empty());
      ASSERT_LT(got.size(), original.size());
      EXPECT_TRUE(std::equal(got.begin(), got.end(), original.begin())) << "a partial copy is the file's own first bytes";
    }
  }
  std::filesystem::remove_all(out);
}

// mkfs.vfat keeps a small FAT32's sector count in the 16-bit field (and 0 in the
// 32-bit one). mtools reads such a volume as FAT16 and cannot fill it, so the
// files are written here into the real volume: two kept, one deleted.
TEST(RealImages, Fat32WithItsCountInTheSixteenBitFieldListsAndRecoversItsFiles) {
  const std::string made = std::string(KESTROVA_TEST_IMAGES_DIR) + "/fat32-small.img";
  if (!std::filesystem::exists(made)) GTEST_SKIP() << "no fat32-small.img: run scripts/make-test-images.sh";
  std::vector<std::uint8_t> img(std::filesystem::file_size(made));
  std::ifstream(made, std::ios::binary).read(reinterpret_cast<char*>(img.data()), static_cast<std::streamsize>(img.size()));
  auto le16 = [&](std::size_t at) { return static_cast<std::uint32_t>(img[at] | img[at + 1] << 8); };
  auto le32 = [&](std::size_t at) { return le16(at) | le16(at + 2) << 16; };
  auto put16 = [&](std::size_t at, std::uint32_t v) { img[at] = v & 0xFF, img[at + 1] = (v >> 8) & 0xFF; };
  auto put32 = [&](std::size_t at, std::uint32_t v) { put16(at, v & 0xFFFF), put16(at + 2, v >> 16); };
  ASSERT_EQ(le16(19), 40960u);  // the case under test
  ASSERT_EQ(le32(32), 0u);
  const std::uint32_t bps = le16(11), spc = img[13], reserved = le16(14), fats = img[16], spf = le32(36);
  const std::uint32_t root = le32(44);
  const std::uint64_t dataStart = reserved + std::uint64_t{fats} * spf;
  const std::uint64_t clusterBytes = std::uint64_t{spc} * bps;
  auto clusterAt = [&](std::uint32_t c) { return (dataStart + std::uint64_t{c - 2} * spc) * bps; };
  auto setFat = [&](std::uint32_t c, std::uint32_t v) {
    for (std::uint32_t copy = 0; copy < fats; ++copy) put32((reserved + std::uint64_t{copy} * spf) * bps + c * 4, v);
  };

  struct File {
    std::string name11, path;
    std::string bytes;
    bool deleted;
  };
  std::vector<File> files = {{"KEEP    TXT", "/KEEP.TXT", "kept\n", false},
                             {"PHOTO   JPG", "/PHOTO.JPG", std::string(), false},
                             {"GONE    BIN", "/_ONE.BIN", std::string(), true}};
  for (std::size_t i = 0; i < 200000; ++i) files[1].bytes.push_back(static_cast<char>((i * 2654435761u) >> 13));
  for (std::size_t i = 0; i < 7000; ++i) files[2].bytes.push_back(static_cast<char>((i * 40503u) >> 5));

  // Root entries after what mkfs wrote (the label), clusters from 3 on, contiguous.
  std::size_t slot = 0;
  while (img[clusterAt(root) + slot * 32] != 0) ++slot;
  std::uint32_t next = 3;
  for (const File& f : files) {
    const std::uint32_t first = next;
    const auto clusters = static_cast<std::uint32_t>((f.bytes.size() + clusterBytes - 1) / clusterBytes);
    std::copy(f.bytes.begin(), f.bytes.end(), img.begin() + static_cast<std::ptrdiff_t>(clusterAt(first)));
    if (!f.deleted)
      for (std::uint32_t k = 0; k < clusters; ++k) setFat(first + k, k + 1 == clusters ? 0x0FFFFFFF : first + k + 1);
    const std::size_t e = clusterAt(root) + slot++ * 32;
    std::copy(f.name11.begin(), f.name11.end(), img.begin() + static_cast<std::ptrdiff_t>(e));
    if (f.deleted) img[e] = 0xE5;
    img[e + 11] = 0x20;
    put16(e + 20, first >> 16);
    for (std::size_t at : {16, 18, 24}) put16(e + at, 0x5821);  // created, accessed, written
    put16(e + 26, first & 0xFFFF);
    put32(e + 28, static_cast<std::uint32_t>(f.bytes.size()));
    next += clusters;
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrova-fat32small-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string image = (dir / "fat32-small.img").string();
  std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));

  const test::CliRun mount = test::Cli("mount " + test::Quoted(image) + " --partition 1 --json");
  ASSERT_EQ(mount.code, 0);
  const test::Json m = test::Json::Parse(mount.out);
  EXPECT_EQ(static_cast<std::uint64_t>(m["lastCluster"].n), (40960 - dataStart) / spc + 1);

  const test::CliRun ls = test::Cli("ls " + test::Quoted(image) + " -r --json");
  ASSERT_EQ(ls.code, 0);
  const test::Json listed = test::Json::Parse(ls.out);
  const std::filesystem::path to = dir / "out";
  const test::CliRun rec = test::Cli("recover " + test::Quoted(image) + " --to " + test::Quoted(to.string()) + " -r --json");
  ASSERT_EQ(rec.code, 0);
  for (const File& f : files) {
    SCOPED_TRACE(f.path);
    const test::Json* l = test::FindListed(listed, f.path);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(static_cast<std::size_t>((*l)["size"].n), f.bytes.size());
    EXPECT_EQ((*l)["deleted"].b, f.deleted);
    std::ifstream in(to / f.path.substr(1), std::ios::binary);
    ASSERT_TRUE(in) << "not recovered";
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(got == f.bytes) << "recovered " << got.size() << " bytes, not the file's";
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string ShellOut(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// A real unreadable sector: a device-mapper `error` target over one sector of
// a folder on a loop device. The folder keeps every entry outside that sector.
TEST(RealImages, AFatFolderWithAnUnreadableSectorOnARealDeviceListsEveryReadableEntry) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device and device-mapper";
  if (Shell("command -v mkfs.vfat && command -v mcopy && command -v losetup && command -v dmsetup") != 0)
    GTEST_SKIP() << "needs dosfstools, mtools, util-linux and dmsetup (scripts/setup.sh installs them)";
  if (Shell("dmsetup version") != 0 || Shell("dmsetup targets | grep -q '^error'") != 0)
    GTEST_SKIP() << "device-mapper is not available in this machine's kernel (dmsetup version fails): the "
                    "error-target case is not run; FatListing.AnUnreadableSectorHidesOnlyItsOwnEntries covers it in memory";
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kestrova-dm-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "files");
  const std::string img = (dir / "fat.img").string();
  // 60 files in one folder of 512-byte clusters: "." and ".." then 16 entries a sector.
  std::string copy = "MTOOLS_SKIP_CHECK=1 mcopy -i " + test::Quoted(img);
  for (int i = 0; i < 60; ++i) {
    const std::string name = "F" + std::to_string(10 + i) + ".TXT";
    std::ofstream(dir / "files" / name) << "file " << i << "\n";
    copy += " " + test::Quoted((dir / "files" / name).string());
  }
  ASSERT_EQ(Shell("truncate -s 40M " + test::Quoted(img) + " && mkfs.vfat -F 32 -s 1 " + test::Quoted(img) +
                  " && MTOOLS_SKIP_CHECK=1 mmd -i " + test::Quoted(img) + " ::/Many && " + copy + " ::/Many/"),
            0);
  const test::CliRun plain = CliWithin(60, "ls " + test::Quoted(img) + " --json");
  const test::Json* folder = nullptr;
  const test::Json root = test::Json::Parse(plain.out);
  for (const test::Json& e : root.a)
    if (e["name"].s == "Many") folder = &e;
  ASSERT_NE(folder, nullptr);
  std::ifstream boot(img, std::ios::binary);
  std::vector<std::uint8_t> b(512);
  boot.read(reinterpret_cast<char*>(b.data()), 512);
  const std::uint64_t reserved = b[14] | b[15] << 8, fats = b[16], spc = b[13];
  const std::uint64_t spf = b[36] | b[37] << 8 | b[38] << 16 | std::uint64_t{b[39]} << 24;
  const auto cluster = static_cast<std::uint64_t>((*folder)["firstCluster"].n);
  const std::uint64_t bad = reserved + fats * spf + (cluster - 2) * spc + 1;  // the folder's second sector
  const std::uint64_t total = 40ull * 1024 * 1024 / 512;

  const std::string loop = ShellOut("losetup -f --show " + test::Quoted(img));
  ASSERT_FALSE(loop.empty());
  const std::string name = "kestrova-bad-" + std::to_string(::getpid());
  const std::string table = "0 " + std::to_string(bad) + " linear " + loop + " 0\\n" + std::to_string(bad) + " 1 error\\n" +
                            std::to_string(bad + 1) + " " + std::to_string(total - bad - 1) + " linear " + loop + " " +
                            std::to_string(bad + 1);
  const bool created = Shell("printf '" + table + "\\n' | dmsetup create " + name) == 0;
  test::CliRun run{-1, {}};
  if (created) run = CliWithin(60, "ls /dev/mapper/" + name + " -r --json");
  Shell("dmsetup remove " + name);
  Shell("losetup -d " + loop);
  std::filesystem::remove_all(dir);
  if (!created) GTEST_SKIP() << "dmsetup could not create the error target on this machine";
  ASSERT_EQ(run.code, 0);
  const test::Json listed = test::Json::Parse(run.out);
  // The second sector holds entries 14 to 29 of the files (after "." and "..").
  for (int i = 0; i < 60; ++i) {
    const std::string path = "/Many/F" + std::to_string(10 + i) + ".TXT";
    const bool inBadSector = i >= 14 && i < 30;
    EXPECT_EQ(test::FindListed(listed, path) != nullptr, !inBadSector) << path;
  }
}

// A real exFAT volume whose boot sector claims 0xFFFFFFFE clusters and whose
// photo claims 2^63 bytes: the copy ends with the clusters the device holds.
TEST(RealImages, ExfatSizesBeyondTheDeviceNeverGrowTheOutputBeyondTheVolume) {
  const std::string made = std::string(KESTROVA_TEST_IMAGES_DIR) + "/exfat-files.img";
  if (!std::filesystem::exists(made)) GTEST_SKIP() << "no exfat-files.img: run scripts/make-test-images.sh";
  std::vector<std::uint8_t> img(std::filesystem::file_size(made));
  std::ifstream(made, std::ios::binary).read(reinterpret_cast<char*>(img.data()), static_cast<std::streamsize>(img.size()));
  const std::u16string name = u"photo.jpg";
  std::vector<std::uint8_t> utf16;
  for (char16_t c : name) utf16.push_back(static_cast<std::uint8_t>(c)), utf16.push_back(0);
  const auto at = std::search(img.begin(), img.end(), utf16.begin(), utf16.end());
  ASSERT_NE(at, img.end());
  const std::size_t nameEntry = static_cast<std::size_t>(at - img.begin()) - 2;
  const std::size_t stream = nameEntry - 32, file = stream - 64 + 32;
  ASSERT_EQ(img[file], 0x85);
  ASSERT_EQ(img[stream], 0xC0);
  for (std::size_t field : {8u, 24u})  // valid data length, data length
    for (int i = 0; i < 8; ++i) img[stream + field + i] = i == 7 ? 0x80 : 0;
  std::uint16_t sum = 0;
  for (std::size_t k = 0; k < (std::size_t{img[file + 1]} + 1) * 32; ++k)
    if (k != 2 && k != 3) sum = static_cast<std::uint16_t>(((sum << 15) | (sum >> 1)) + img[file + k]);
  img[file + 2] = static_cast<std::uint8_t>(sum), img[file + 3] = static_cast<std::uint8_t>(sum >> 8);
  for (int i = 0; i < 4; ++i) img[92 + i] = i == 0 ? 0xFE : 0xFF;  // cluster count 0xFFFFFFFE

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrova-exfathuge-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string image = (dir / "huge.img").string();
  std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
  const std::filesystem::path to = dir / "out";
  // Bounded in time as well: a wrapping table loop would never end.
  const std::string cmd = "timeout 120 " + std::string(KESTROVA_CLI) + " recover " + test::Quoted(image) + " --to " +
                          test::Quoted(to.string()) + " -r >/dev/null 2>&1";
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 124) << "the recovery did not end";
  ASSERT_TRUE(std::filesystem::exists(to / "Docs/photo.jpg"));
  EXPECT_LE(std::filesystem::file_size(to / "Docs/photo.jpg"), img.size());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrova
