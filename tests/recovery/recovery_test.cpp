#include "recovery/fat_writer.h"
#include "recovery/output_file.h"
#include "recovery/output_names.h"
#include "recovery/recovery_job.h"
#include "common/text.h"
#include "fs/fat/fat_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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
    WriteFatFile(*b.ctx, e, sink, control);
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
  existing.firstCluster = 10;
  existing.clusterInUse = 1;
  existing.size = 3 * 1024;  // an exact multiple of the cluster size
  EXPECT_EQ(Recover(existing), std::string(1024, 'a') + std::string(1024, 'b') + std::string(1024, 'c'));
  existing.size = 2500;
  EXPECT_EQ(Recover(existing).size(), 2500u);

  ScanEntry deleted = MakeScanEntry();
  deleted.firstCluster = 30;
  deleted.deletedMark = 1;
  deleted.size = 1024 + 10;
  EXPECT_EQ(Recover(deleted), std::string(1024, 'd') + std::string(10, 'e'));

  ScanEntry broken = existing;
  broken.firstCluster = 0x0FFFFFF9;  // the chain cannot be followed
  RecoveryControl control;
  std::vector<std::uint8_t> data;
  OutputSink sink = OutputSink::ToMemory(data, 100, control);
  const WriteResult r = WriteFatFile(*b.ctx, broken, sink, control);
  EXPECT_TRUE(r.chainFallback);
  EXPECT_EQ(+broken.chainFallback, 1);
  EXPECT_EQ(+broken.clusterInUse, 0);

  const auto preview = LoadIntoMemory(*b.ctx, deleted, 100);
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->size(), 100u);
  ScanEntry huge = deleted;
  huge.size = kMaxLoadIntoMemory + 1;
  EXPECT_FALSE(LoadIntoMemory(*b.ctx, huge));
  const auto range = ReadFatRange(*b.ctx, existing, 2040, 20);
  EXPECT_EQ(std::string(range.begin(), range.end()), std::string(8, 'b') + std::string(12, 'c'))
      << "from the second cluster of the chain into the third";
  EXPECT_TRUE(ReadFatRange(*b.ctx, existing, 5000, 10).empty());
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
  FatRecoverable volume(ctx);
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

}  // namespace
}  // namespace kestrova
