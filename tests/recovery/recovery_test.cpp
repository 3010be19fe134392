#include "fs/fat/fat_fs_reader.h"
#include "fs/ntfs/ntfs_fs_reader.h"
#include "recovery/output_file.h"
#include "recovery/output_names.h"
#include "recovery/recovery_job.h"
#include "common/activity.h"
#include "common/text.h"
#include "device/device_identity.h"
#include "fs/fat/fat_builder.h"
#include "fs/ntfs/ntfs_stream.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <set>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using test::FatBuilder;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(OutputNames, CollisionNumbersAndSafeNames) {
  EXPECT_EQ(MakeCollisionName(u"photo.jpg", 3), u"photo[003].jpg");
  EXPECT_EQ(MakeCollisionName(u".profile", 1), u".profile[001]") << "a leading dot is not an extension";
  EXPECT_EQ(MakeCollisionName(u"name.", 1), u"name.[001]") << "nor is a trailing one";
  EXPECT_EQ(MakeCollisionName(u"archive.tar.gz", 12), u"archive.tar[012].gz");
  EXPECT_EQ(MakeCollisionName(u"x", 101), u"x[101]");
  EXPECT_EQ(SafeOutputName(u".."), u"_..");
  EXPECT_EQ(SafeOutputName(u"."), u"_.");
  EXPECT_EQ(SafeOutputName(u""), u"_");
  EXPECT_EQ(SafeOutputName(u"../../etc/passwd"), u".._.._etc_passwd");
  EXPECT_EQ(SafeOutputName(std::u16string(u"a\0b\x01" u"c\\d", 7)), u"a_b_c_d");
  const std::u16string longName = std::u16string(300, u'\u00E9') + u".jpg";
  const std::u16string cut = SafeOutputName(longName);
  EXPECT_LE(ToUtf8(cut).size(), 255u);
  EXPECT_EQ(cut.substr(cut.size() - 4), u".jpg") << "the extension survives the cut";
  EXPECT_EQ(RecoveryFolderName(u"?ld stuff"), u"_ld stuff (RECOVERY)");
  EXPECT_EQ(RecoveryFolderName(u"$:\\"), u"$ (RECOVERY)");
}

class OutputFiles : public test::TempDirTest {
 protected:
  OutputFiles() : TempDirTest("kestrova-out") {}
};

TEST_F(OutputFiles, CollisionsDuplicatesLinksAndOverwrite) {
  WriteFile("photo.jpg", "0");
  WriteFile("photo[001].jpg", "1");
  WriteFile("photo[002].jpg", "2");
  auto folder = OutputFolder::Open(dir.string(), false);
  ASSERT_TRUE(folder);
  auto made = CreateOutputFile(*folder, u"photo.jpg", {});
  ASSERT_TRUE(made);
  EXPECT_EQ(made->name, u"photo[003].jpg");
  ::close(made->fd);

  EXPECT_FALSE(CreateOutputFile(*folder, u"photo.jpg", {false, true})) << "duplicates blocked";
  EXPECT_EQ(ReadAll(dir / "photo.jpg"), "0") << "the existing file is untouched";

  // A link standing at the name is never followed.
  WriteFile("outside.txt", "keep");
  fs::create_symlink(dir / "outside.txt", dir / "link.txt");
  auto viaLink = CreateOutputFile(*folder, u"link.txt", {true, false});
  ASSERT_TRUE(viaLink);
  EXPECT_EQ(viaLink->name, u"link[001].txt");
  ::close(viaLink->fd);
  EXPECT_EQ(ReadAll(dir / "outside.txt"), "keep");

  auto replaced = CreateOutputFile(*folder, u"photo.jpg", {true, false});
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->name, u"photo.jpg");
  ::close(replaced->fd);
  EXPECT_EQ(ReadAll(dir / "photo.jpg"), "") << "overwrite replaces";

  // Hostile names stay inside the folder.
  auto hostile = CreateOutputFile(*folder, u"../escape", {});
  ASSERT_TRUE(hostile);
  ::close(hostile->fd);
  EXPECT_TRUE(fs::exists(dir / ".._escape"));
  EXPECT_FALSE(fs::exists(dir.parent_path() / "escape"));
  auto sub = folder->Sub(u"..");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->path(), (dir / "_..").string() + "/");
}

TEST_F(OutputFiles, TimesAndReadOnlyComeFromTheEntry) {
  ScanEntry fat = MakeScanEntry();
  fat.SetFatDate(static_cast<std::uint16_t>((44 << 9) | (7 << 5) | 1));  // 2024-07-01
  fat.attributes = 0x01;
  auto folder = OutputFolder::Open(dir.string(), false);
  auto f = CreateOutputFile(*folder, u"a.txt", {});
  ASSERT_TRUE(f);
  ApplyEntryMetadata(f->fd, fat, FsType::Fat32);
  struct stat st {};
  ASSERT_EQ(::fstat(f->fd, &st), 0);
  ::close(f->fd);
  EXPECT_EQ(st.st_mtim.tv_sec, 1719792000) << "midnight, no time-zone adjustment";
  EXPECT_EQ(st.st_atim.tv_sec, 1719792000);
  EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only clears the write bits";

  ScanEntry exfat = MakeScanEntry();
  exfat.SetExfatTime((44u << 25) | (7u << 21) | (1u << 16) | (13u << 11) | (30u << 5));
  EXPECT_EQ(EntryTime(exfat, FsType::Exfat)->tv_sec, 1719792000 + 13 * 3600 + 30 * 60);
  ScanEntry ntfs = MakeScanEntry();
  ntfs.SetFileTime(133643016050000000ull);
  EXPECT_EQ(EntryTime(ntfs, FsType::Ntfs)->tv_sec, 1719828005);
  ScanEntry raw = ntfs;
  raw.SetKind(EntryKind::Raw);
  EXPECT_FALSE(EntryTime(raw, FsType::Ntfs)) << "RAW entries keep the copy's own times";
  EXPECT_FALSE(EntryTime(MakeScanEntry(), FsType::Fat16));
}

class FatWriting : public test::TempDirTest {
 protected:
  FatWriting() : TempDirTest("kestrova-write") {}
  FatBuilder b{FsType::Fat16, 8192, 2, 32};  // 1 KiB clusters
  void Fill(std::uint32_t cluster, char c) { std::memset(b.Cluster(cluster), c, 1024); }
  std::string Recover(ScanEntry e) {
    RecoveryControl control;
    std::vector<std::uint8_t> data;
    OutputSink sink = OutputSink::ToMemory(data, e.size, control);
    WriteFatFile(ChainViewOf(*b.ctx), e, sink, control);
    return std::string(data.begin(), data.end());
  }
};

TEST_F(FatWriting, ChainsContiguousCopiesAndExactSizes) {
  Fill(10, 'a');
  Fill(11, 'b');
  Fill(20, 'c');
  Fill(30, 'd');
  Fill(31, 'e');
  b.Chain({10, 11, 20});
  b.Mount();
  ScanEntry existing = MakeScanEntry();
  existing.SetFirstCluster(10);
  existing.clusterInUse = 1;
  existing.size = 3 * 1024;  // an exact multiple of the cluster size
  EXPECT_EQ(Recover(existing), std::string(1024, 'a') + std::string(1024, 'b') + std::string(1024, 'c'));
  existing.size = 2500;
  EXPECT_EQ(Recover(existing).size(), 2500u);

  ScanEntry deleted = MakeScanEntry();
  deleted.SetFirstCluster(30);
  deleted.SetDeletedMark(1);
  deleted.size = 1024 + 10;
  EXPECT_EQ(Recover(deleted), std::string(1024, 'd') + std::string(10, 'e'));

  ScanEntry broken = existing;
  broken.SetFirstCluster(0x0FFFFFF9);  // the chain cannot be followed
  RecoveryControl control;
  std::vector<std::uint8_t> data;
  OutputSink sink = OutputSink::ToMemory(data, 100, control);
  const WriteResult r = WriteFatFile(ChainViewOf(*b.ctx), broken, sink, control);
  EXPECT_TRUE(r.chainFallback);
  EXPECT_EQ(+broken.chainFallback, 1);
  EXPECT_EQ(+broken.clusterInUse, 0);

  const auto preview = LoadIntoMemory(ChainViewOf(*b.ctx), deleted, 100);
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->size(), 100u);
  ScanEntry huge = deleted;
  huge.size = kMaxLoadIntoMemory + 1;
  EXPECT_FALSE(LoadIntoMemory(ChainViewOf(*b.ctx), huge));
  const auto range = ReadFatRange(ChainViewOf(*b.ctx), existing, 2040, 20);
  EXPECT_EQ(std::string(range.begin(), range.end()), std::string(8, 'b') + std::string(12, 'c'))
      << "from the second cluster of the chain into the third";
  EXPECT_TRUE(ReadFatRange(ChainViewOf(*b.ctx), existing, 5000, 10).empty());
}

TEST_F(FatWriting, JobSavesFilesFoldersAndJoins) {
  Fill(10, 'x');
  b.Entry(1, 0, "ONE     TXT", 0x20, 10, 100)[0] = 0xE5;
  Fill(12, 'y');
  b.Entry(1, 1, "TWO     TXT", 0x20, 12, 50)[0] = 0xE5;
  b.Entry(1, 2, "DIR        ", 0x10, 14, 0);
  b.Chain({14});
  b.DotEntries(14, 0);
  b.Entry(14, 2, "IN      TXT", 0x20, 16, 20)[0] = 0xE5;
  Fill(16, 'z');
  b.Entry(14, 3, "LOOP       ", 0x10, 14, 0);  // the folder inside itself
  FatContext& ctx = b.Mount();
  std::vector<MarkedEntry> marked;
  for (const FoundEntry& f : ListFolder(ctx, kFixedRootHandle)) marked.push_back({f.entry, f.name, "/" + ToUtf8(f.name)});
  ASSERT_EQ(marked.size(), 3u);

  RecoveryRequest request;
  request.destination = P("out/");
  test::RecordingUi ui;
  FatFsReader volume(ctx);
  RecoveryJob job(volume, request, ui);
  ASSERT_TRUE(job.Run(marked, {}));
  EXPECT_EQ(ReadAll(dir / "out" / "_NE.TXT"), std::string(100, 'x')) << "a leading ? becomes _";
  EXPECT_EQ(ReadAll(dir / "out" / "_WO.TXT"), std::string(50, 'y'));
  EXPECT_EQ(ReadAll(dir / "out" / "DIR" / "_N.TXT"), std::string(20, 'z')) << "the folder pass";
  const RecoveryStatistics& s = job.statistics();
  EXPECT_EQ(s.written, 3u);
  EXPECT_EQ(s.filesTotal, 3u);
  EXPECT_EQ(s.filesDeleted, 3u);
  EXPECT_EQ(s.foldersTotal, 2u) << "DIR and the looping entry inside it";
  EXPECT_EQ(s.bytesWritten, 170u);

  // JOIN: one file named after the first and last marked names.
  std::vector<MarkedEntry> two(marked.begin(), marked.begin() + 2);
  RecoveryRequest join;
  join.destination = P("joined/");
  join.mode = RecoveryMode::Join;
  RecoveryJob joiner(volume, join, ui);
  ASSERT_TRUE(joiner.Run(two, {}));
  EXPECT_EQ(ReadAll(dir / "joined" / "_NE.TXT - _WO.TXT"), std::string(100, 'x') + std::string(50, 'y'));
}

// A deleted file written into the gaps between other files: the defragmented
// copy steps over clusters the table holds and where other found files begin;
// the plain copy takes the contiguous run. Through the job as the request asks.
TEST_F(FatWriting, DefragmentedCopiesStepOverOtherFilesClusters) {
  Fill(40, 'a');
  Fill(41, 'K');  // an existing file's cluster inside the deleted one's run
  Fill(42, 'b');
  Fill(43, 'S');  // where another deleted file begins
  Fill(44, 'c');
  Fill(45, 'd');
  b.Chain({41});
  b.Entry(1, 0, "KEEP    TXT", 0x20, 41, 1024);
  b.Entry(1, 1, "GAPS    BIN", 0x20, 40, 3 * 1024 + 100)[0] = 0xE5;
  b.Entry(1, 2, "OTHER   BIN", 0x20, 43, 10)[0] = 0xE5;
  FatContext& ctx = b.Mount();
  ctx.volume.map.Mark(43, cluster_mark::kFoundStart);
  ctx.volume.map.Mark(40, cluster_mark::kFoundStart);  // its own start does not stop it
  std::vector<MarkedEntry> marked;
  for (const FoundEntry& f : ListFolder(ctx, kFixedRootHandle))
    if (f.name == u"?APS.BIN") marked.push_back({f.entry, f.name, "/" + ToUtf8(f.name)});
  ASSERT_EQ(marked.size(), 1u);
  const std::string gaps = std::string(1024, 'a') + std::string(1024, 'b') + std::string(1024, 'c') + std::string(100, 'd');

  struct Case {
    const char* folder;
    bool defragment;
    std::string expected;
  } cases[] = {
      {"plain", false, std::string(1024, 'a') + std::string(1024, 'K') + std::string(1024, 'b') + std::string(100, 'S')},
      {"defrag", true, gaps},
  };
  FatFsReader volume(ctx);
  test::RecordingUi ui;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    RecoveryRequest request;
    request.destination = P(std::string(c.folder) + "/");
    request.defragment = c.defragment;
    std::vector<MarkedEntry> copy = marked;
    RecoveryJob job(volume, request, ui);
    ASSERT_TRUE(job.Run(copy, {}));
    EXPECT_EQ(ReadAll(dir / c.folder / "_APS.BIN"), c.expected);
    EXPECT_EQ(job.statistics().written, 1u);
  }

  // Existing files follow their chain either way; a damaged volume (nothing
  // known to be taken) and the volume's end give a contiguous or short copy.
  ScanEntry keep = MakeScanEntry();
  keep.SetFirstCluster(41);
  keep.clusterInUse = 1;
  keep.size = 1024;
  RecoveryControl control;
  std::vector<std::uint8_t> data;
  OutputSink sink = OutputSink::ToMemory(data, keep.size, control);
  EXPECT_TRUE(WriteFatFile(ChainViewOf(ctx), keep, sink, control, true).complete);
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string(1024, 'K'));
  ScanEntry tail = MakeScanEntry();
  tail.SetFirstCluster(ctx.volume.lastCluster - 1);
  tail.SetDeletedMark(1);
  tail.size = 5 * 1024;
  data.clear();
  OutputSink shortSink = OutputSink::ToMemory(data, tail.size, control);
  EXPECT_FALSE(WriteFatFile(ChainViewOf(ctx), tail, shortSink, control, true).complete) << "the volume ends first";
  ctx.volume.damaged = true;
  ScanEntry gapsEntry = marked[0].entry;
  data.clear();
  OutputSink damagedSink = OutputSink::ToMemory(data, gapsEntry.size, control);
  WriteFatFile(ChainViewOf(ctx), gapsEntry, damagedSink, control, true);
  EXPECT_EQ(std::string(data.begin(), data.end()), cases[0].expected) << "damaged: contiguous";
}

// A crash report must say where the program was: the recovery's entry points
// are marked while they run (checked from inside them, through the Ui).
class ActivityUi : public test::RecordingUi {
 public:
  std::set<Fn> seen;
  void Progress(std::uint64_t, std::uint64_t) override {
    for (Fn fn : {Fn::RecoverFiles, Fn::RecoveryJobCount, Fn::RecoveryJobSaveFile, Fn::WriteFatFile, Fn::ListFolder})
      if (IsActiveHere(static_cast<std::size_t>(fn))) seen.insert(fn);
  }
};

TEST_F(FatWriting, RecoveryEntryPointsAreMarkedWhileTheyRun) {
  Fill(10, 'x');
  b.Entry(1, 0, "ONE     TXT", 0x20, 10, 100)[0] = 0xE5;
  FatContext& ctx = b.Mount();
  std::vector<MarkedEntry> marked;
  for (const FoundEntry& f : ListFolder(ctx, kFixedRootHandle)) marked.push_back({f.entry, f.name, "/" + ToUtf8(f.name)});
  ASSERT_EQ(marked.size(), 1u);
  RecoveryRequest request;
  request.destination = P("marks/");
  ActivityUi ui;
  FatFsReader volume(ctx);
  RecoveryJob job(volume, request, ui);
  ASSERT_TRUE(job.Run(marked, {}));
  EXPECT_TRUE(ui.seen.count(Fn::RecoverFiles));
  EXPECT_TRUE(ui.seen.count(Fn::RecoveryJobCount) || ui.seen.count(Fn::RecoveryJobSaveFile));
  EXPECT_FALSE(ui.seen.count(Fn::ListFolder)) << "a finished listing is no longer marked";
}

TEST_F(FatWriting, DestinationChecks) {
  std::vector<std::u16string> history{u"/somewhere/"};
  std::string dest = P("new/deeper");
  EXPECT_FALSE(CheckDestination(dest, SourceIdentity{}, history));
  EXPECT_EQ(dest, P("new/deeper/")) << "a trailing separator is added";
  EXPECT_TRUE(fs::is_directory(dest)) << "missing levels are created";
  EXPECT_EQ(history.front(), ToUtf16(dest));
  struct stat st {};
  ::stat(dir.c_str(), &st);
  SourceIdentity sameDevice;
  sameDevice.known = sameDevice.isBlock = true;
  sameDevice.rdev = st.st_dev;
  sameDevice.wholeDisk = WholeDiskOf(st.st_dev);
  std::string onSource = P("other");
  EXPECT_EQ(CheckDestination(onSource, sameDevice, history), StringId::PleaseSelectAnotherDrive);
  EXPECT_FALSE(fs::exists(onSource)) << "refused before anything is created";
  EXPECT_EQ(history.size(), 3u);
  std::string blocked = "/proc/kestrova/out";
  EXPECT_EQ(CheckDestination(blocked, SourceIdentity{}, history), StringId::CantCreateOpenDirectory);
  EXPECT_EQ(CheckMarked(0, 1), MarkedCheck::NothingToRecover);
  EXPECT_EQ(CheckMarked(0, 5), MarkedCheck::SelectFiles);
  EXPECT_EQ(CheckMarked(2, 5), MarkedCheck::Ok);
}

TEST(OutputNames, NumberedNamesOfLongNamesFitAndStayValid) {
  const struct {
    std::u16string name;
    std::u16string ending;  // what the numbered name ends with
  } cases[] = {
      {std::u16string(300, u'\u00E9') + u".jpg", u"[001].jpg"},          // two-byte characters, short extension
      {std::u16string(300, u'a') + u".tar.gz", u"[001].gz"},
      {std::u16string(300, u'x'), u"[001]"},                              // no extension
      {std::u16string(200, u'\u20AC') + u".txt", u"[001].txt"},          // three-byte characters
  };
  for (const auto& c : cases) {
    const std::u16string safe = SafeOutputName(c.name);
    ASSERT_LE(ToUtf8(safe).size(), 255u);
    const std::u16string numbered = NumberedName(safe, 1);
    EXPECT_LE(ToUtf8(numbered).size(), 255u) << ToUtf8(c.ending);
    EXPECT_EQ(numbered.substr(numbered.size() - c.ending.size()), c.ending);
  }
  // Surrogate pairs (four UTF-8 bytes) are cut whole: the name stays valid UTF-8.
  std::u16string emoji;
  for (int i = 0; i < 100; ++i) emoji += u"\U0001F600";
  for (const std::u16string& n : {SafeOutputName(emoji + u".png"), NumberedName(SafeOutputName(emoji + u".png"), 7)}) {
    EXPECT_LE(ToUtf8(n).size(), 255u);
    EXPECT_EQ(ToUtf16(ToUtf8(n)), n) << "no half of a pair is left";
    EXPECT_EQ(n.find(u'\uFFFD'), std::u16string::npos);
  }
  EXPECT_EQ(NumberedName(u"photo.jpg", 3), u"photo[003].jpg") << "short names are numbered as before";
}

TEST_F(OutputFiles, NamesEqualAfterTheCutAreBothSaved) {
  auto folder = OutputFolder::Open(dir.string(), false);
  ASSERT_TRUE(folder);
  const std::u16string stem(260, u'\u00E9');
  std::vector<std::string> made;
  for (const std::u16string& name : {stem + u"1.jpg", stem + u"2.jpg", stem + u"3.jpg"}) {
    int error = 0;
    auto f = CreateOutputFile(*folder, name, {}, &error);
    ASSERT_TRUE(f) << std::strerror(error);
    ::close(f->fd);
    made.push_back(f->path);
  }
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    ++files;
    EXPECT_EQ(e.path().extension(), ".jpg");
  }
  EXPECT_EQ(files, 3u);
  EXPECT_NE(made[1].find("[001].jpg"), std::string::npos);
  EXPECT_NE(made[2].find("[002].jpg"), std::string::npos);
}

TEST_F(OutputFiles, ReadOnlyDestinationsAreFoundBeforeStarting) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a read-only tmpfs";
  const std::string ro = P("ro");
  fs::create_directories(ro);
  if (::mount("tmpfs", ro.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  EXPECT_EQ(ProbeWritable(ro), EROFS);
  std::vector<std::u16string> history;
  std::string dest = ro;
  int error = 0;
  EXPECT_EQ(CheckDestination(dest, SourceIdentity{}, history, &error), StringId::CantCreateOpenDirectory);
  EXPECT_EQ(error, EROFS) << "the system's reason comes back";
  {
    auto folder = OutputFolder::Open(ro, false);
    ASSERT_TRUE(folder);
    error = 0;
    EXPECT_FALSE(CreateOutputFile(*folder, u"a.txt", {}, &error));
    EXPECT_EQ(error, EROFS) << "not numbered names tried in vain, not a silent skip";
  }
  ASSERT_EQ(::umount2(ro.c_str(), MNT_DETACH), 0) << std::strerror(errno);
  EXPECT_EQ(ProbeWritable(ro), 0);
  EXPECT_TRUE(fs::is_empty(ro)) << "the probe leaves nothing behind";
}

// A volume of the NTFS family whose files read as their size in 'n' bytes.
class FakeNtfsVolume : public FsReader {
 public:
  std::vector<FoundEntry> root;
  FsType Type() const override { return FsType::Ntfs; }
  EntryHandle RootHandle() const override { return 5; }
  EntryHandle FolderHandle(const ScanEntry& e) const override { return e.recordNumber; }
  std::uint8_t Rate(const ScanEntry& e) override { return e.rating; }
  std::vector<std::uint8_t> ReadRange(const ScanEntry&, std::uint64_t, std::uint64_t) override { return {}; }
  std::vector<FoundEntry> List(EntryHandle, const DisplayFilter& filter) override {
    std::vector<FoundEntry> out;
    for (const FoundEntry& f : root)
      if (PassesNtfsFilter(f.entry, f.name, IsFolder(f.entry, Type()), filter)) out.push_back(f);
    return out;
  }
  WriteResult Write(ScanEntry& entry, OutputSink& sink, const RecoveryControl&) override {
    sink.WriteChunk(std::vector<std::uint8_t>(static_cast<std::size_t>(entry.size), 'n'));
    return WriteResult{sink.remaining() == 0, false};
  }
  std::uint64_t EntryId(const ScanEntry& e) const override { return e.recordNumber; }
  FoundEntry Add(const std::u16string& name, std::uint8_t rating, std::uint64_t record) {
    FoundEntry f;
    f.entry = MakeScanEntry();  // NTFS leaves the FAT fields (deleted mark, cluster state) alone
    f.entry.rating = rating;
    f.entry.recordNumber = record;
    f.entry.size = 10;
    f.name = name;
    root.push_back(f);
    return f;
  }
};

TEST_F(OutputFiles, NtfsEntriesPassTheFilterOfTheirOwnFamily) {
  FakeNtfsVolume volume;
  std::vector<MarkedEntry> marked;
  for (const auto& [name, rating, record] : {std::tuple{u"existing.txt", rating::kInUse, 40},
                                             std::tuple{u"deleted.txt", rating::kIntact, 41},
                                             std::tuple{u"reused.txt", std::uint8_t{30}, 42}}) {
    const FoundEntry f = volume.Add(name, rating, static_cast<std::uint64_t>(record));
    marked.push_back({f.entry, f.name, "/" + ToUtf8(f.name)});
  }
  DisplayFilter deletedOnly;  // as "recover --deleted-only" sets it
  deletedOnly.flags = show::kFiles | show::kFolders | show::kDeleted | show::kOverwritten | show::kNotDetected |
                      show::kEncrypted | show::kCompressed | show::kDollarNames;
  RecoveryRequest request;
  request.destination = P("out/");
  test::RecordingUi ui;
  RecoveryJob job(volume, request, ui);
  ASSERT_TRUE(job.Run(marked, deletedOnly));
  EXPECT_FALSE(fs::exists(dir / "out" / "existing.txt")) << "an existing NTFS file is not a deleted one";
  EXPECT_TRUE(fs::exists(dir / "out" / "deleted.txt"));
  EXPECT_TRUE(fs::exists(dir / "out" / "reused.txt"));
  EXPECT_EQ(job.statistics().filesTotal, 2u);
  EXPECT_EQ(job.statistics().filesDeleted, 2u);
  EXPECT_EQ(job.statistics().filesOverwritten, 1u);
}

TEST_F(FatWriting, UnreadablePartsAreZerosAndTheFileIsIncomplete) {
  Fill(10, 'a');
  Fill(20, 'c');
  Fill(11, 'b');
  b.Chain({10, 20, 11});  // three pieces: the last reuses the buffer of the second
  FatContext& ctx = b.Mount();
  const std::uint64_t cluster11 = 100 + (11 - 2) * 2;  // reserved 4 + 2 FATs of 32 + root 32, 2 sectors a cluster
  ASSERT_EQ(b.Cluster(11), b.mem->at(cluster11));
  b.mem->shared->badSectors.insert(cluster11 + 1);
  ScanEntry existing = MakeScanEntry();
  existing.SetFirstCluster(10);
  existing.clusterInUse = 1;
  existing.size = 3 * 1024;
  RecoveryControl control;
  std::vector<std::uint8_t> data;
  OutputSink sink = OutputSink::ToMemory(data, existing.size, control);
  const WriteResult r = WriteFatFile(ChainViewOf(ctx), existing, sink, control);
  EXPECT_FALSE(r.complete) << "a file with an unreadable sector is not complete";
  EXPECT_TRUE(sink.unreadable());
  EXPECT_EQ(std::string(data.begin(), data.end()),
            std::string(1024, 'a') + std::string(1024, 'c') + std::string(512, 'b') + std::string(512, '\0'))
      << "the bad sector is zeros, not bytes of the piece before";

  // A truncated image: the deleted file runs past the end of the device.
  Fill(30, 'd');
  Fill(31, 'e');
  const std::uint64_t cluster31 = 100 + (31 - 2) * 2;
  ctx.device.GeometryForMount().deviceSectors = cluster31 + 1;  // the image ends inside cluster 31
  ScanEntry deleted = MakeScanEntry();
  deleted.SetFirstCluster(30);
  deleted.SetDeletedMark(1);
  deleted.size = 2048;
  data.clear();
  OutputSink cut = OutputSink::ToMemory(data, deleted.size, control);
  EXPECT_FALSE(WriteFatFile(ChainViewOf(ctx), deleted, cut, control).complete);
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string(1024, 'd') + std::string(512, 'e') + std::string(512, '\0'))
      << "what lies before the end is kept";

  // The job counts it as incomplete.
  b.Entry(1, 0, "CUT     BIN", 0x20, 30, 2048)[0] = 0xE5;
  std::vector<MarkedEntry> marked;
  for (const FoundEntry& f : ListFolder(ctx, kFixedRootHandle)) marked.push_back({f.entry, f.name, "/" + ToUtf8(f.name)});
  ASSERT_EQ(marked.size(), 1u);
  RecoveryRequest request;
  request.destination = P("out/");
  FatFsReader volume(ctx);
  RecoveryJob job(volume, request, b.ui);
  ASSERT_TRUE(job.Run(marked, {}));
  EXPECT_EQ(job.statistics().written, 0u);
  EXPECT_EQ(job.statistics().failed, 1u);
  ASSERT_EQ(job.files().size(), 1u);
  EXPECT_FALSE(job.files()[0].complete);
  EXPECT_TRUE(job.files()[0].unreadable);
}

TEST_F(FatWriting, NtfsRunsThatCannotBeReadMarkTheFileIncomplete) {
  b.Mount();
  SectorDevice& device = b.mem->device;
  device.GeometryForMount().sectorsPerCluster = 2;
  device.GeometryForMount().clusterBase = 0;
  std::memset(b.mem->at(40), 'r', 4 * 512);
  const std::vector<DataRun> runs{{0, 2, 20, false}};  // sectors 40..43
  RecoveryControl control;
  std::vector<std::uint8_t> data;
  OutputSink sink = OutputSink::ToMemory(data, 2048, control);
  ASSERT_TRUE(WritePlainRuns(device, runs, 1024, 16, sink, control.token));
  EXPECT_FALSE(sink.unreadable());
  b.mem->shared->badSectors.insert(42);
  data.clear();
  OutputSink bad = OutputSink::ToMemory(data, 2048, control);
  WritePlainRuns(device, runs, 1024, 16, bad, control.token);
  EXPECT_TRUE(bad.unreadable()) << "zero-filled is not complete";
  EXPECT_EQ(std::string(data.begin() + 1024, data.begin() + 1536), std::string(512, '\0'));
}

TEST_F(FatWriting, JoinWithAChainFallbackKeepsTheFilesBeforeIt) {
  Fill(10, 'x');
  b.Entry(1, 0, "ONE     TXT", 0x20, 10, 100);
  b.Chain({10});
  Fill(12, 'y');
  b.Entry(1, 1, "TWO     TXT", 0x20, 12, 50);
  b.Chain({12});
  FatContext& ctx = b.Mount();
  std::vector<MarkedEntry> marked;
  for (const FoundEntry& f : ListFolder(ctx, kFixedRootHandle)) marked.push_back({f.entry, f.name, "/" + ToUtf8(f.name)});
  ASSERT_EQ(marked.size(), 2u);
  marked[1].entry.SetFirstCluster(0x0FFFFFF9);  // its chain cannot be followed: the writer rewinds
  RecoveryRequest join;
  join.destination = P("joined/");
  join.mode = RecoveryMode::Join;
  FatFsReader volume(ctx);
  RecoveryJob joiner(volume, join, b.ui);
  ASSERT_TRUE(joiner.Run(marked, {}));
  EXPECT_EQ(ReadAll(dir / "joined" / "ONE.TXT - TWO.TXT"), std::string(100, 'x'))
      << "the rewind goes back to the second file's start, not the output's";
  EXPECT_EQ(joiner.statistics().written, 1u);
  EXPECT_EQ(joiner.statistics().failed, 1u);
}

TEST_F(FatWriting, EmptyAndRelativeDestinationsAreRefused) {
  std::vector<std::u16string> history;
  for (std::string dest : {std::string(), std::string("   "), std::string("relative/out"), std::string("./x")}) {
    const std::string before = dest;
    EXPECT_EQ(CheckDestination(dest, SourceIdentity{}, history), StringId::CantCreateOpenDirectory) << '"' << before << '"';
  }
  EXPECT_TRUE(history.empty()) << "no folder was named";
  EXPECT_FALSE(fs::exists("relative")) << "nothing is created beside the working folder";
}

TEST(DeviceIdentity, MountsServedFromTheSourceImageAreFound) {
  const fs::path dir = fs::temp_directory_path() / ("kestrova-mi-" + std::to_string(::getpid()));
  fs::create_directories(dir / "with space");
  const fs::path image = dir / "with space" / "disk.img";
  std::ofstream(image) << "x";
  const SourceIdentity source = IdentityOfSource(image.string());
  ASSERT_TRUE(source.known);
  const std::string escaped = (dir / "with\\040space" / "disk.img").string();
  const std::string mountinfo =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "95 22 0:52 / /mnt/ntfs rw,nosuid,nodev,relatime shared:50 - fuseblk " + escaped + " rw,user_id=0\n"
      "96 22 0:53 / /mnt/other rw,relatime - fuse /some/other.img rw\n"
      "97 22 0:54 / /mnt/rel rw - fuse disk.img rw\n"
      "garbage line\n";
  const std::uint64_t dev52 = makedev(0, 52), dev53 = makedev(0, 53), dev54 = makedev(0, 54);
  EXPECT_EQ(MountSourcesOf(mountinfo, dev52), std::vector<std::string>{image.string()}) << "\\040 is a blank";
  EXPECT_TRUE(MountinfoShowsSource(mountinfo, dev52, source));
  EXPECT_FALSE(MountinfoShowsSource(mountinfo, dev53, source)) << "another image";
  EXPECT_FALSE(MountinfoShowsSource(mountinfo, dev54, source)) << "a relative source names nothing";
  EXPECT_FALSE(MountinfoShowsSource(mountinfo, makedev(8, 1), source));
  // The same image reached through a link is still the image.
  fs::create_symlink(image, dir / "link.img");
  const std::string viaLink = "95 22 0:52 / /mnt/ntfs rw - fuse " + (dir / "link.img").string() + " rw\n";
  EXPECT_TRUE(MountinfoShowsSource(viaLink, dev52, source));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kestrova
