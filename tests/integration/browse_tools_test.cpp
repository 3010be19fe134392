// The display filter, the search and the hex view on real volumes made at
// test time (scripts/make-test-images.sh), through the core and the command line.
#include "explore/volume_session.h"

#include "common/text.h"
#include "support/cli_run.h"
#include "support/mini_json.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "support/tsv.h"
#include "tools/hex_view.h"
#include "tools/search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

namespace kestrova {
namespace {

const std::string kDir = KESTROVA_TEST_IMAGES_DIR;

struct Mounted {
  test::RecordingUi ui;
  VolumeSession session{ui};
  bool ok = false;
  explicit Mounted(const std::string& image) {
    if (session.OpenSource(image) != SessionStatus::Ok) return;
    if ((session.rows().size() == 1 ? session.MountOnly() : session.MountRow(0)) != SessionStatus::Ok) return;
    WorkerToken token;
    session.CollectMft(token);
    ok = true;
  }
};

// A manifest path as the listing names it (a deleted FAT short name has lost its first letter).
std::optional<VolumePath> ResolveListed(VolumeSession& s, const std::string& path, bool existing) {
  std::optional<VolumePath> r = s.Resolve(path);
  if (!r && !existing) {
    std::string wanted = path;
    wanted[wanted.rfind('/') + 1] = '?';
    r = s.Resolve(wanted);
  }
  return r;
}

bool Listed(FsReader& reader, const VolumePath& p, const DisplayFilter& filter) {
  const std::uint64_t id = reader.EntryId(p.entry->entry);
  for (const FoundEntry& f : reader.List(p.folders.back(), filter))
    if (!f.dotEntry && reader.EntryId(f.entry) == id) return true;
  return false;
}

TEST(DisplayFilterImages, StatusAndTypeBoxesOnEveryFamily) {
  const auto rows = test::ReadTsv(kDir + "/fatfiles.tsv", 5);
  if (rows.empty()) GTEST_SKIP() << "no fatfiles.tsv: run scripts/make-test-images.sh";
  std::map<std::string, std::vector<std::vector<std::string>>> byImage;
  for (const auto& r : rows) byImage[r[0]].push_back(r);
  DisplayFilter deletedBoxes;  // "Recoverable (deleted)" with both overwritten boxes, files and folders
  deletedBoxes.flags = show::kMasks | show::kDeleted | show::kOverwritten | show::kNotDetected | show::kFiles |
                       show::kFolders | show::kEncrypted | show::kCompressed;
  DisplayFilter existingBoxes;
  existingBoxes.flags = show::kMasks | show::kExisting | show::kFiles | show::kFolders | show::kCompressed;
  DisplayFilter foldersOnly;
  foldersOnly.flags = show::kMasks | show::kExisting | show::kDeleted | show::kOverwritten | show::kNotDetected |
                      show::kFolders | show::kCompressed;
  for (const auto& [image, files] : byImage) {
    SCOPED_TRACE(image);
    Mounted m(kDir + "/" + image + ".img");
    ASSERT_TRUE(m.ok);
    FsReader& reader = m.session.volume();
    for (const auto& f : files) {
      SCOPED_TRACE(f[1]);
      const bool existing = f[3] == "existing";
      const auto p = ResolveListed(m.session, f[1], existing);
      ASSERT_TRUE(p && !p->IsFolder());
      EXPECT_EQ(Listed(reader, *p, deletedBoxes), !existing);
      EXPECT_EQ(Listed(reader, *p, existingBoxes), existing);
      // Without "Files" a file is hidden, except on exFAT, which always shows files and folders.
      EXPECT_EQ(Listed(reader, *p, foldersOnly), reader.Type() == FsType::Exfat);
      // A mask hides the other names, in any letter case.
      DisplayFilter masked = existing ? existingBoxes : deletedBoxes;
      const std::string ext = f[1].substr(f[1].rfind('.'));
      masked.masks = DisplayFilter::SplitMasks(ToUtf16("*" + ext + ";*.none"));
      EXPECT_TRUE(Listed(reader, *p, masked));
      masked.masks = DisplayFilter::SplitMasks(u"*.none");
      EXPECT_FALSE(Listed(reader, *p, masked));
    }
  }
}

TEST(DisplayFilterImages, NtfsMetafilesAndCompressedEntriesNeedTheirBoxes) {
  Mounted m(kDir + "/ntfs-files.img");
  if (!m.ok) GTEST_SKIP() << "no ntfs-files.img: run scripts/make-test-images.sh (needs ntfs-3g)";
  FsReader& reader = m.session.volume();
  DisplayFilter f;
  f.flags = show::kMasks | show::kExisting | show::kFiles | show::kFolders;
  auto names = [&](EntryHandle h, const DisplayFilter& filter) {
    std::set<std::u16string> out;
    for (const FoundEntry& e : reader.List(h, filter)) out.insert(e.name);
    return out;
  };
  EXPECT_FALSE(names(reader.RootHandle(), f).count(u"$MFT"));
  f.flags |= show::kDollarNames;
  EXPECT_TRUE(names(reader.RootHandle(), f).count(u"$MFT"));
  const auto packed = m.session.Resolve("/Packed/server.log");
  if (!packed) GTEST_SKIP() << "no compressed files (setfattr missing when the image was made)";
  EXPECT_FALSE(Listed(reader, *packed, f)) << "compressed needs its box";
  f.flags |= show::kCompressed;
  EXPECT_TRUE(Listed(reader, *packed, f));
}

TEST(DisplayFilterImages, AListingTakesOneCopyOfTheFilterWhileTheUserChangesIt) {
  Mounted m(kDir + "/fat16.img");
  if (!m.ok) GTEST_SKIP() << "no fat16.img: run scripts/make-test-images.sh";
  const auto docs = m.session.Resolve("/Docs");
  ASSERT_TRUE(docs && docs->IsFolder());
  DisplayFilter a;  // existing files only
  a.flags = show::kMasks | show::kExisting | show::kFiles;
  DisplayFilter b;  // deleted files only
  b.flags = show::kMasks | show::kDeleted | show::kNotDetected | show::kOverwritten | show::kFiles;
  auto listing = [&](const DisplayFilter& f) {
    std::set<std::u16string> out;
    for (const FoundEntry& e : m.session.ListShown(docs->folders.back(), f)) out.insert(e.name);
    return out;
  };
  const auto withA = listing(a), withB = listing(b);
  ASSERT_NE(withA, withB);
  SharedDisplayFilter shared;
  shared.Set(a);
  std::atomic<bool> done{false};
  std::thread user([&] {
    for (int i = 0; !done; ++i) shared.Set(i % 2 ? a : b);
  });
  for (int i = 0; i < 300; ++i) {
    const auto got = listing(shared.Snapshot());
    ASSERT_TRUE(got == withA || got == withB) << "one listing, one filter";
  }
  done = true;
  user.join();
}

class RecoveryFilterImages : public test::TempDirTest {};

TEST_F(RecoveryFilterImages, RecoveryCountsAndSavesOnlyWhatTheFilterShows) {
  const std::string img = kDir + "/fat16.img";
  if (!std::filesystem::exists(img)) GTEST_SKIP() << "no fat16.img: run scripts/make-test-images.sh";
  const auto r = test::Cli("recover " + test::Quoted(img) + " --to " + test::Quoted(dir.string()) +
                           " -r --json --status deleted,notdetected,overwritten,files,folders");
  ASSERT_EQ(r.code, 0) << r.out;
  const test::Json j = test::Json::Parse(r.out);
  std::set<std::string> sources;
  for (const test::Json& f : j["files"].a) sources.insert(f["source"].s);
  EXPECT_TRUE(sources.count("/Docs/?eleted.txt")) << r.out;
  EXPECT_TRUE(sources.count("/Report 2024.pdf")) << r.out;
  EXPECT_FALSE(sources.count("/Docs/keep.txt")) << "existing: not shown, not saved";
  EXPECT_FALSE(sources.count("/Docs/photo.jpg"));
  EXPECT_FALSE(std::filesystem::exists(dir / "Docs" / "keep.txt"));
  EXPECT_EQ(j["written"].n, static_cast<double>(sources.size()));
}

std::vector<std::string> CliPaths(const std::string& args) {
  const auto r = test::Cli(args + " --json");
  std::vector<std::string> out;
  if (r.code != 0) return out;
  for (const test::Json& e : test::Json::Parse(r.out).a) out.push_back(e["path"].s);
  return out;
}

TEST(SearchImages, NameMaskSizeAttributesDateAndContentOnFat) {
  const std::string img = kDir + "/fat16.img";
  if (!std::filesystem::exists(img)) GTEST_SKIP() << "no fat16.img: run scripts/make-test-images.sh";
  const std::string s = "search " + test::Quoted(img);
  using V = std::vector<std::string>;
  EXPECT_EQ(CliPaths(s + " --name port"), V{"/Report 2024.pdf"}) << "substring, any case";
  EXPECT_EQ(CliPaths(s + " --name 'r*.PDF'"), V{"/Report 2024.pdf"});
  EXPECT_EQ(CliPaths(s + " --mask '*.jpg, *.bin'"), (V{"/Docs/photo.jpg", "/Old/Deep/?nner.bin"}));
  EXPECT_EQ(CliPaths(s + " --size '>=100kB'"), V{"/Docs/photo.jpg"});
  EXPECT_EQ(CliPaths(s + " --size '=5000' --mask '*.bin'"), V{"/Old/Deep/?nner.bin"});
  EXPECT_EQ(CliPaths(s + " --size '=4.8kB' --tolerance 5 --mask '*.bin'"), V{"/Old/Deep/?nner.bin"});
  EXPECT_EQ(CliPaths(s + " --size '=4.8kB' --tolerance 1 --mask '*.bin'"), V{});
  EXPECT_EQ(CliPaths(s + " --attr directory --name o"), (V{"/Docs", "/Old"}));
  EXPECT_EQ(CliPaths(s + " --date 1990-01-01 --before"), V{});
  EXPECT_GE(CliPaths(s + " --date 1990-01-01 --after").size(), 6u);
  // Content: whole words at a file's start and end ("kept\n", "gone\n").
  EXPECT_EQ(CliPaths(s + " --contains KEPT --whole-word --mask '*.txt'"), (V{"/Docs/keep.txt", "/Old/?eep.txt"}));
  EXPECT_EQ(CliPaths(s + " --contains kep --whole-word"), V{});
  EXPECT_EQ(CliPaths(s + " --contains KEPT --case"), V{});
  EXPECT_EQ(CliPaths(s + " --contains-hex '25 50 44 46 2D'"), V{"/Report 2024.pdf"});
  EXPECT_EQ(CliPaths(s + " --contains-unicode kept"), V{});
  // The cap: the results found so far stay.
  EXPECT_EQ(CliPaths(s + " --limit 2").size(), 2u);
  // Results feed "recover".
  EXPECT_EQ(test::Cli(s + " --contains-hex 4D5").code, 2) << "odd HEX length refused";
}

// "search --scan" searches what the free-space scan adds ("RAW files", "Lost
// files") as "ls --scan" lists it; "search --session" a saved scan's results
// without the scan, from the drive the session names or from --device.
TEST(SearchImages, AfterAScanAndFromASavedSession) {
  const std::string img = kDir + "/fat16.img";
  if (!std::filesystem::exists(img)) GTEST_SKIP() << "no fat16.img: run scripts/make-test-images.sh";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrova-search-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string s = "search " + test::Quoted(img);
  const std::vector<std::string> plain = CliPaths(s);
  const std::vector<std::string> scanned = CliPaths(s + " --scan");
  ASSERT_FALSE(plain.empty());
  std::set<std::string> added(scanned.begin(), scanned.end());
  for (const std::string& p : plain) EXPECT_EQ(added.erase(p), 1u) << p << ": found without the scan, lost with it";
  ASSERT_FALSE(added.empty()) << "the scan finds deleted data in the free space";
  for (const std::string& p : added)
    EXPECT_TRUE(p.starts_with("/RAW files/") || p.starts_with("/Lost files/") || p.starts_with("/Rebuild")) << p;
  // Each found path is listed by "ls --scan" in its folder.
  const std::string first = *added.begin();
  const std::string folder = first.substr(0, first.rfind('/'));
  const auto listed = test::Cli("ls " + test::Quoted(img) + " --scan --json " + test::Quoted(folder));
  ASSERT_EQ(listed.code, 0) << folder;
  EXPECT_NE(listed.out.find(first.substr(first.rfind('/') + 1)), std::string::npos) << first;

  const std::string kvs = (dir / "fat16.kvs").string();
  ASSERT_EQ(test::Cli("scan " + test::Quoted(img) + " --session " + test::Quoted(kvs)).code, 0);
  EXPECT_EQ(CliPaths("search --session " + test::Quoted(kvs)), scanned);
  EXPECT_EQ(CliPaths("search --session " + test::Quoted(kvs) + " --device " + test::Quoted(img)), scanned);
  const std::vector<std::string> keep = CliPaths(s + " --scan --name keep");
  EXPECT_GT(keep.size(), 2u) << "the deleted copy in its lost folder too";
  EXPECT_EQ(CliPaths("search --session " + test::Quoted(kvs) + " --name keep"), keep);
  // SOURCE or --session, one of the two.
  EXPECT_EQ(test::Cli("search --name x").code, 2);
  EXPECT_EQ(test::Cli(s + " --session " + test::Quoted(kvs)).code, 2);
  EXPECT_EQ(test::Cli("search --session " + test::Quoted(kvs) + " --scan").code, 2);
  std::filesystem::remove_all(dir);
}

TEST(SearchImages, ContentAcrossClustersAndPiecesOfAFragmentedNtfsFile) {
  const auto rows = test::ReadTsv(kDir + "/ntfsfrag.tsv", 5);
  const std::string original = kDir + "/ntfs-frag/big.bin";
  if (rows.empty() || !std::filesystem::exists(original)) GTEST_SKIP() << "no ntfs-frag image: run scripts/make-test-images.sh";
  std::ifstream in(original, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 600000u);
  Mounted m(kDir + "/ntfs-frag.img");
  ASSERT_TRUE(m.ok);
  // Patterns around cluster boundaries (512-byte clusters, runs of a few clusters, pieces of 16).
  for (std::size_t boundary : {512u, 2048u, 8192u, 8192u * 3, 4096u * 37, 512u * 1001}) {
    SCOPED_TRACE(boundary);
    const std::vector<std::uint8_t> pattern(bytes.begin() + static_cast<std::ptrdiff_t>(boundary - 12),
                                            bytes.begin() + static_cast<std::ptrdiff_t>(boundary + 12));
    ContentPattern p;
    p.bytes = pattern;
    SearchRequest request;
    request.text = u"big.bin";
    request.advanced = true;
    request.criteria.useData = true;
    request.criteria.dataKind = DataKind::Hex;
    request.criteria.dataText = PatternText([&] {
      ContentPattern hex;
      hex.kind = DataKind::Hex;
      hex.bytes = pattern;
      return hex;
    }());
    WorkerToken token;
    SearchResults results;
    EXPECT_EQ(Search(m.session.volume(), DisplayFilter{}, request, token, results), SearchEnd::Done);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results.items[0].folder + results.items[0].found.name, u"/Lost files/big.bin");
    // One byte changed: nowhere in the file.
    request.criteria.dataText[0] = request.criteria.dataText[0] == u'0' ? u'1' : u'0';
    SearchResults none;
    Search(m.session.volume(), DisplayFilter{}, request, token, none);
    EXPECT_EQ(none.size(), 0u);
  }
}

TEST(HexViewImages, OffsetsPastFourGibInASparseNtfsFile) {
  Mounted m(kDir + "/ntfs-sparse.img");
  if (!m.ok) GTEST_SKIP() << "no ntfs-sparse.img: run scripts/make-test-images.sh (needs ntfs-3g)";
  const auto p = m.session.Resolve("/huge.bin");
  ASSERT_TRUE(p && !p->IsFolder());
  const ScanEntry e = p->entry->entry;
  FsReader& reader = m.session.volume();
  const std::uint64_t size = HexEntrySize(e, reader.Type());
  EXPECT_EQ(size, 5ull << 30);
  EXPECT_EQ(HexRowsPerScrollUnit(HexTotalRows(size)), 256u);
  HexBlockCache cache([&](std::uint64_t o, std::uint64_t n) { return reader.ReadRange(e, o, n); },
                      m.session.device().bytesPerCluster);
  cache.Reset(size);
  const std::uint64_t row = ((4ull << 30) + 0x1230) / 16;
  EXPECT_EQ(ToUtf8(HexLine(row, cache.FetchRow(row))),
            "0100001230  4B 56 50 41 53 54 34 47  00 00 00 00 00 00 00 00   KVPAST4G........");
  EXPECT_EQ(ToUtf8(HexCharsText(cache.FetchRow(0))).substr(0, 7), "KVSTART");
  const std::uint64_t reads = cache.reads();
  cache.FetchRow(1);
  EXPECT_EQ(cache.reads(), reads) << "the same cluster: no read";
  const HexRow last = cache.FetchRow(HexTotalRows(size) - 1);
  EXPECT_EQ(last.length, 16u);
  EXPECT_EQ(last.unreadable, 0) << "a hole reads as zeros";
}

TEST(HexViewImages, DataThatCannotBeReadShowsAsUnreadableNeverAsAnotherBlock) {
  Mounted m(kDir + "/fat16.img");
  if (!m.ok) GTEST_SKIP() << "no fat16.img: run scripts/make-test-images.sh";
  const auto p = m.session.Resolve("/Docs/photo.jpg");
  ASSERT_TRUE(p && !p->IsFolder());
  FsReader& reader = m.session.volume();
  ScanEntry e = p->entry->entry;
  const std::uint32_t cluster = m.session.device().bytesPerCluster;
  HexBlockCache cache([&](std::uint64_t o, std::uint64_t n) { return reader.ReadRange(e, o, n); }, cluster);
  cache.Reset(e.size);
  const HexRow good = cache.FetchRow(0);
  EXPECT_EQ(good.unreadable, 0);
  // The same entry pointing past the volume's last cluster: nothing can be read.
  e.SetFirstCluster(0xFFF0);
  cache.Reset(e.size);
  const HexRow bad = cache.FetchRow(0);
  EXPECT_EQ(bad.unreadable, 0xFFFF);
  EXPECT_EQ(ToUtf8(HexBytesText(bad)).substr(0, 5), "?? ??");
  for (std::uint8_t b : bad.bytes) EXPECT_EQ(b, 0) << "no byte of the block shown before";
  // The command line says so and exits with "incomplete".
  const auto r = test::Cli("hexdump " + test::Quoted(kDir + "/fat16.img") + " /Docs/keep.txt");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "Offset      0  1  2  3  4  5  6  7   8  9  A  B  C  D  E  F\n"
            "0000000000  6B 65 70 74 0A                                     kept.           \n");
}

}  // namespace
}  // namespace kestrova
