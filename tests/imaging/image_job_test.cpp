// The imaging job over in-memory devices: whole chunks and the remainder,
// unreadable sectors written as zeros and mapped, resume from a map, retry of
// bad areas, abort while paused, the boot-sector replacement, and the refusals.
#include "imaging/image_job.h"

#include "common/worker_thread.h"
#include "support/crafted.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace kestrova {
namespace {

using test::Image;
using test::MemDevice;

// Every sector different: its number in its first bytes and a pattern after.
Image Numbered(std::uint64_t sectors) {
  Image data(sectors * 512);
  for (std::uint64_t s = 0; s < sectors; ++s)
    for (std::size_t i = 0; i < 512; ++i) data[s * 512 + i] = static_cast<std::uint8_t>((s * 7 + i) ^ (s >> 8));
  return data;
}

Image ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Image(std::istreambuf_iterator<char>(in), {});
}

// A source that answers a number of reads and then is gone (unplugged).
class VanishingSource final : public BlockSource {
 public:
  VanishingSource(std::shared_ptr<MemoryBlockSource::Shared> shared, int answers)
      : inner_(std::move(shared)), answers_(answers) {}
  int Seek(std::uint64_t offset) override { return inner_.Seek(offset); }
  IoResult Read(void* b, std::size_t n) override { return inner_.Read(b, n); }
  IoResult ReadAt(std::uint64_t offset, void* b, std::size_t n) override {
    if (answers_-- <= 0) return {19 /*ENODEV*/, 0};
    return inner_.ReadAt(offset, b, n);
  }
  IoResult Write(const void* b, std::size_t n) override { return inner_.Write(b, n); }
  int Flush() override { return 0; }
  std::uint64_t ByteLength() override { return inner_.ByteLength(); }
  std::uint32_t LogicalSectorSize() override { return 0; }
  bool Writable() const override { return false; }

 private:
  MemoryBlockSource inner_;
  int answers_;
};

class ImageJobTest : public test::TempDirTest {
 protected:
  ImageJobTest() : TempDirTest("kestrova-imaging") {}
  ImageRequest Request(std::uint64_t start, std::uint64_t count, std::uint32_t chunk = 64) {
    ImageRequest r;
    r.start = start;
    r.count = count;
    r.outputPath = P("out.img");
    r.chunkSectors = chunk;
    return r;
  }
  WorkerToken token;
};

TEST_F(ImageJobTest, CopiesWholeChunksAndTheRemainder) {
  struct Case {
    std::uint64_t start, count;
    std::uint32_t chunk;
    std::uint64_t whole, remainder;
  };
  // The first: a volume smaller than one chunk goes through the remainder alone.
  for (const Case c : {Case{0, 1000, 2048, 0, 1000}, Case{0, 1000, 100, 10, 0}, Case{37, 900, 64, 14, 4},
                       Case{999, 1, 2048, 0, 1}}) {
    MemDevice mem(Numbered(1000));
    mem.shared->reads = 0;
    const ImageResult r = RunImageJob(mem.device, Request(c.start, c.count, c.chunk), token);
    ASSERT_EQ(r.status, ImageStatus::Done) << c.start << "+" << c.count;
    EXPECT_EQ(r.wholeChunks, c.whole);
    EXPECT_EQ(r.remainder, c.remainder);
    EXPECT_EQ(r.sectorsWritten, c.count);
    EXPECT_EQ(r.sectorsCopied, c.count);
    EXPECT_EQ(mem.shared->reads, c.whole + (c.remainder ? 1 : 0)) << "one read per chunk";
    const Image expected(mem.shared->data.begin() + static_cast<std::ptrdiff_t>(c.start * 512),
                         mem.shared->data.begin() + static_cast<std::ptrdiff_t>((c.start + c.count) * 512));
    EXPECT_TRUE(ReadAll(P("out.img")) == expected) << c.start << "+" << c.count;
    EXPECT_EQ(token.Progress().done, c.count);
    EXPECT_EQ(token.Progress().total, c.count);
    token.Reset();
  }
}

TEST_F(ImageJobTest, UnreadableSectorsBecomeZerosAndTheMapListsExactlyThem) {
  MemDevice mem(Numbered(600));
  const std::set<std::uint64_t> bad = {3, 130, 131, 132, 599};
  mem.shared->badSectors = bad;
  ImageRequest request = Request(0, 600);
  request.mapPath = P("out.map");
  const ImageResult r = RunImageJob(mem.device, request, token);
  ASSERT_EQ(r.status, ImageStatus::Done);
  EXPECT_EQ(r.sectorsUnreadable, bad.size());
  EXPECT_EQ(r.sectorsCopied, 600 - bad.size());
  EXPECT_EQ(std::set<std::uint64_t>(r.unreadable.begin(), r.unreadable.end()), bad);
  EXPECT_EQ(token.Progress().items, bad.size());

  const Image image = ReadAll(P("out.img"));
  ASSERT_EQ(image.size(), 600u * 512);
  for (std::uint64_t s = 0; s < 600; ++s) {
    const bool zero = std::all_of(image.begin() + static_cast<std::ptrdiff_t>(s * 512),
                                  image.begin() + static_cast<std::ptrdiff_t>((s + 1) * 512), [](auto b) { return b == 0; });
    const bool same = std::equal(image.begin() + static_cast<std::ptrdiff_t>(s * 512),
                                 image.begin() + static_cast<std::ptrdiff_t>((s + 1) * 512), mem.at(s));
    if (bad.count(s)) EXPECT_TRUE(zero) << "sector " << s << " must be zeros, not stale bytes";
    else EXPECT_TRUE(same) << "sector " << s;
  }

  std::string text;
  ASSERT_EQ(ReadMapFile(P("out.map"), text), 0);
  ImageMap map;
  std::size_t line = 0;
  ASSERT_EQ(ParseImageMap(text, 512, 600, map, line), MapParse::Ok) << text;
  std::set<std::uint64_t> mapped;
  for (const MapRun& run : map.Runs()) {
    EXPECT_NE(run.status, MapStatus::Untried);
    if (run.status == MapStatus::Bad)
      for (std::uint64_t s = run.start; s < run.start + run.count; ++s) mapped.insert(s);
  }
  EXPECT_EQ(mapped, bad);
  EXPECT_NE(text.find("\n0x0004B000     +"), std::string::npos) << "a finished map says so:\n" << text;
}

TEST_F(ImageJobTest, ResumeFromTheMapGivesTheImageOfOneRun) {
  MemDevice whole(Numbered(700));
  ASSERT_EQ(RunImageJob(whole.device, Request(0, 700), token).status, ImageStatus::Done);
  const Image oneRun = ReadAll(P("out.img"));

  // The same source gone after three reads, then back.
  test::MemDevice mem(Numbered(700));
  mem.device.Attach(std::make_unique<VanishingSource>(mem.shared, 3), nullptr);
  ImageRequest request = Request(0, 700);
  request.outputPath = P("resumed.img");
  request.mapPath = P("resumed.map");
  token.Reset();
  const ImageResult first = RunImageJob(mem.device, request, token);
  ASSERT_EQ(first.status, ImageStatus::DeviceGone);
  EXPECT_EQ(first.sectorsCopied, 3u * 64);
  EXPECT_EQ(first.sectorsLeft, 700u - 3 * 64);

  mem.device.Attach(std::make_unique<MemoryBlockSource>(mem.shared), nullptr);
  mem.shared->reads = 0;
  token.Reset();
  const ImageResult second = RunImageJob(mem.device, request, token);
  ASSERT_EQ(second.status, ImageStatus::Done);
  EXPECT_TRUE(second.resumed);
  EXPECT_EQ(second.sectorsWritten, 700u - 3 * 64) << "only what the first run left";
  EXPECT_EQ(mem.shared->reads, 8u) << "508 sectors in chunks of 64";
  EXPECT_TRUE(ReadAll(P("resumed.img")) == oneRun);
}

TEST_F(ImageJobTest, RetryReadsTheBadAreasAgainOnlyWhenAsked) {
  MemDevice mem(Numbered(300));
  mem.shared->badSectors = {10, 200};
  ImageRequest request = Request(0, 300);
  request.mapPath = P("out.map");
  ASSERT_EQ(RunImageJob(mem.device, request, token).status, ImageStatus::Done);
  mem.shared->badSectors.clear();  // the drive gives them up on a later try

  token.Reset();
  mem.shared->reads = 0;
  ImageResult again = RunImageJob(mem.device, request, token);
  ASSERT_EQ(again.status, ImageStatus::Done);
  EXPECT_EQ(again.sectorsWritten, 0u) << "a finished map without retry reads nothing";
  EXPECT_EQ(again.sectorsUnreadable, 2u);
  EXPECT_EQ(mem.shared->reads, 0u);

  request.retryBad = true;
  token.Reset();
  const ImageResult retried = RunImageJob(mem.device, request, token);
  ASSERT_EQ(retried.status, ImageStatus::Done);
  EXPECT_EQ(retried.sectorsWritten, 2u);
  EXPECT_EQ(retried.sectorsUnreadable, 0u);
  EXPECT_TRUE(ReadAll(P("out.img")) == mem.shared->data);
}

TEST_F(ImageJobTest, AbortWhilePausedWritesNoFurtherChunk) {
  MemDevice mem(Numbered(1000));
  token.Pause();
  ImageResult result;
  WorkerThread thread(token, [&](WorkerToken& t) { result = RunImageJob(mem.device, Request(0, 1000), t); });
  token.WaitUntilParked();
  EXPECT_TRUE(token.AbortWhilePaused());
  thread.Join();
  EXPECT_EQ(result.status, ImageStatus::Aborted);
  EXPECT_EQ(result.sectorsWritten, 0u);
  EXPECT_EQ(mem.shared->reads, 0u);
  EXPECT_EQ(ReadAll(P("out.img")).size(), 0u) << "the partial file stays, with nothing written after the pause";
}

TEST_F(ImageJobTest, PauseAndResumeFinishTheCopy) {
  MemDevice mem(Numbered(1000));
  token.Pause();
  ImageResult result;
  WorkerThread thread(token, [&](WorkerToken& t) { result = RunImageJob(mem.device, Request(0, 1000), t); });
  token.WaitUntilParked();
  EXPECT_EQ(token.Progress().done, 0u);
  token.Resume();
  thread.Join();
  EXPECT_EQ(result.status, ImageStatus::Done);
  EXPECT_TRUE(ReadAll(P("out.img")) == mem.shared->data);
}

// Crafted boot sectors for the replacement: NTFS's "NTFS    " at 3 and the FAT32 text at 82.
void PutFat32Text(std::uint8_t* sector) { test::PutText(sector + 82, "FAT32   "); }

TEST_F(ImageJobTest, BootReplacementFollowsTheFileSystemName) {
  struct Case {
    const char* name;
    std::u16string fsName;
    bool recognisedBoot;
    std::vector<std::uint64_t> fat32At;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"NTFS: the last sector", u"NTFS", false, {}, 99},
      {"exFAT: sector 12", u"EXFAT", false, {}, 12},
      {"FAT32: sector 6", u"FAT32", false, {6, 2}, 6},
      {"FAT32: sector 2 when only it says FAT32", u"FAT32", false, {2}, 2},
      {"FAT32: sector 6 when neither says it", u"FAT32", false, {}, 6},
      {"a recognised first sector stays", u"NTFS", true, {}, std::nullopt},
      {"other file systems: nothing", u"EXT4", false, {}, std::nullopt},
  };
  for (const Case& c : cases) {
    MemDevice mem(Image(200 * 512, 0));
    if (c.recognisedBoot) test::WriteFat32Boot(mem.at(50), 100, 1, "KV");
    for (std::uint64_t s : c.fat32At) PutFat32Text(mem.at(50 + s));
    EXPECT_EQ(BootReplacementSector(mem.device, 50, 100, c.fsName), c.expected) << c.name;
  }
}

TEST_F(ImageJobTest, TheReplacementGoesIntoTheImagesFirstSector) {
  MemDevice mem(Numbered(300));
  std::fill_n(mem.at(100), 512, 0);  // the volume at 100 lost its boot sector
  ImageRequest request = Request(100, 150);
  request.bootReplacement = BootReplacementSector(mem.device, 100, 150, u"NTFS");
  ASSERT_EQ(request.bootReplacement, std::optional<std::uint64_t>(149));
  const ImageResult r = RunImageJob(mem.device, request, token);
  ASSERT_EQ(r.status, ImageStatus::Done);
  EXPECT_TRUE(r.bootReplaced);
  const Image image = ReadAll(P("out.img"));
  ASSERT_EQ(image.size(), 150u * 512);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 512, mem.at(249))) << "sector 0 is the volume's last sector";
  EXPECT_TRUE(std::equal(image.begin() + 512, image.end(), mem.at(101)));
}

TEST_F(ImageJobTest, RefusalsAndFailuresAreReported) {
  MemDevice mem(Numbered(100));
  {  // the folder does not exist
    ImageRequest r = Request(0, 100);
    r.outputPath = P("no/such/folder/out.img");
    const ImageResult result = RunImageJob(mem.device, r, token);
    EXPECT_EQ(result.status, ImageStatus::CantCreate);
    EXPECT_EQ(result.error, ENOENT);
  }
  {  // a map that is not one
    ImageRequest r = Request(0, 100);
    r.mapPath = WriteFile("bad.map", "this is no map\n");
    const ImageResult result = RunImageJob(mem.device, r, token);
    EXPECT_EQ(result.status, ImageStatus::MapUnreadable);
    EXPECT_EQ(result.mapFault, MapParse::Syntax);
    EXPECT_FALSE(std::filesystem::exists(P("out.img"))) << "nothing is created for a refused map";
  }
  {  // a map of copied sectors whose image is gone
    ImageRequest r = Request(0, 100);
    r.outputPath = P("gone.img");
    r.mapPath = WriteFile("done.map", "0 +\n0 0x1000 +\n");
    EXPECT_EQ(RunImageJob(mem.device, r, token).status, ImageStatus::MapWithoutImage);
  }
  {  // a map of another, larger source
    ImageRequest r = Request(0, 100);
    r.mapPath = WriteFile("big.map", "0 +\n0 0x100000 +\n");
    const ImageResult result = RunImageJob(mem.device, r, token);
    EXPECT_EQ(result.status, ImageStatus::MapUnreadable);
    EXPECT_EQ(result.mapFault, MapParse::TooLarge);
  }
  {  // a range past the device
    EXPECT_EQ(RunImageJob(mem.device, Request(50, 51), token).status, ImageStatus::BadRequest);
    EXPECT_EQ(RunImageJob(mem.device, Request(0, 0), token).status, ImageStatus::BadRequest);
  }
}

TEST_F(ImageJobTest, TheImageIsNeverWrittenOnTheSource) {
  const Image data = Numbered(64);
  const std::string source = WriteFile("source.img", std::string(data.begin(), data.end()));
  MemDevice mem(data);
  for (const bool asMap : {false, true}) {
    ImageRequest r = Request(0, 64);
    r.source = IdentityOfSource(source);
    (asMap ? r.mapPath : r.outputPath) = source;
    EXPECT_EQ(RunImageJob(mem.device, r, token).status, ImageStatus::OutputOnSource) << (asMap ? "map" : "image");
    EXPECT_TRUE(ReadAll(source) == data) << "the source is untouched";
  }
}

}  // namespace
}  // namespace kestrova
