#include "fs/ntfs/efs_export.h"
#include "fs/ntfs/found_records.h"
#include "fs/ntfs/lznt1.h"
#include "common/worker_thread.h"
#include "fs/ntfs/mft_collection.h"
#include "fs/ntfs/ntfs_files.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_stream.h"
#include "fs/ntfs/ntfs_volume.h"
#include "fs/ntfs/run_list.h"
#include "scan/entry_ops.h"
#include "scan/virtual_folders.h"
#include "support/crafted.h"
#include "support/recording_ui.h"
#include "volume/mount.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include <cstring>
#include <thread>
#include <numeric>

namespace kestrova {
namespace {

using namespace kestrova::test;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- run lists

TEST(NtfsRunList, DecodesFragmentsBackwardsOffsetsAndSparseRuns) {
  // 16 clusters at 0x100, 8 at 0x100 - 0x10, 5 sparse, 4 at 0xF0 + 0x20.
  const Bytes list = {0x21, 0x10, 0x00, 0x01, 0x11, 0x08, 0xF0, 0x01, 0x05, 0x11, 0x04, 0x20, 0x00, 0xAA};
  const auto runs = DecodeRuns(list);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0].lcn, 0x100);
  EXPECT_EQ(runs[1].lcn, 0xF0);
  EXPECT_EQ(runs[1].vcn, 16u);
  EXPECT_TRUE(runs[2].sparse);
  EXPECT_EQ(runs[3].lcn, 0x110);  // offsets run on from the last real run
  EXPECT_EQ(runs[3].vcn, 29u);
  EXPECT_EQ(RunsTotalClusters(list), 33u);
  EXPECT_EQ(FirstRunCluster(list), 0x100u);
  const RunListSize size = RunListLength(list);
  EXPECT_EQ(size.bytes, 13u);
  EXPECT_EQ(size.lastCluster, 0x110);
  EXPECT_EQ(ClustersForBytes(list, 4096 * 3 + 1, 4096), 4u);
  EXPECT_EQ(ClustersForBytes(list, ~0ull / 2, 4096), 33u);

  const auto inSecond = RunLookup(runs, 18);
  ASSERT_TRUE(inSecond);
  EXPECT_EQ(inSecond->lcn, 0xF2);
  EXPECT_EQ(inSecond->left, 6u);
  EXPECT_EQ(RunLookup(runs, 25)->lcn, -1);
  EXPECT_FALSE(RunLookup(runs, 33));
}

TEST(NtfsRunList, TheCursorMarksCompressedUnitsAndCanBeSavedToLookAhead) {
  // 3 clusters + 13 sparse (a compressed unit), 16 stored, 5 + 11 sparse.
  const Bytes list = {0x21, 0x03, 0x00, 0x01, 0x01, 0x0D, 0x11, 0x10, 0x20, 0x11, 0x05, 0x30, 0x01, 0x0B, 0x00};
  RunCursor c(list);
  ASSERT_TRUE(c.NextRun());
  EXPECT_EQ(c.lcn, 0x100);
  EXPECT_TRUE(c.compressedUnit);
  EXPECT_EQ(c.followingSparse, 13u);
  const RunCursor saved = c;  // look ahead on a copy
  ASSERT_TRUE(c.NextRun());
  EXPECT_TRUE(c.sparse);
  ASSERT_TRUE(c.NextRun());
  EXPECT_EQ(c.vcn, 16u);
  EXPECT_EQ(c.lcn, 0x120);
  EXPECT_FALSE(c.compressedUnit);  // 16 clusters: stored
  ASSERT_TRUE(c.NextRun());
  EXPECT_EQ(c.lcn, 0x150);
  EXPECT_TRUE(c.compressedUnit);
  c = saved;  // restored: the same run again
  EXPECT_EQ(c.vcn, 0u);
  ASSERT_TRUE(c.NextRun());
  EXPECT_TRUE(c.sparse);
}

TEST(NtfsRunList, HostileListsEndCleanly) {
  // Truncated run, 9-byte fields, a negative first cluster, no terminator.
  EXPECT_TRUE(DecodeRuns(Bytes{0x21, 0x10}).empty());
  EXPECT_TRUE(DecodeRuns(Bytes{0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1}).empty());
  EXPECT_TRUE(DecodeRuns(Bytes{0x11, 0x04, 0xF0, 0x00}).empty());
  EXPECT_EQ(DecodeRuns(Bytes{0x11, 0x04, 0x10}).size(), 1u);
  EXPECT_TRUE(DecodeRuns({}).empty());
  // Offsets whose sum overflows, and a length past any volume, end the list.
  const Bytes wrap = {0x81, 0x01, 0x10, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88,
                      0x81, 0x01, 0x10, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x00};
  EXPECT_LE(DecodeRuns(wrap).size(), 1u);
  EXPECT_EQ(RunListLength(wrap).bytes, 21u);
  EXPECT_TRUE(DecodeRuns(Bytes{0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x10, 0x00}).empty());
  EXPECT_EQ(RunsTotalClusters({}), 0u);
}

// ------------------------------------------------------------- file records

constexpr std::uint64_t kTime = 133619400000000000ull;  // 2024-06-03

Bytes FileNameValue(const std::u16string& name, std::uint64_t parent, std::uint64_t size, std::uint32_t flags,
                    std::uint8_t space = 1, std::uint64_t time = kTime) {
  Bytes v(0x42 + 2 * name.size(), 0);
  PutLe64(v.data(), parent | (std::uint64_t{1} << 48));
  PutLe64(v.data() + 0x18, time);
  PutLe64(v.data() + 0x30, size);
  PutLe32(v.data() + 0x38, flags);
  v[0x40] = static_cast<std::uint8_t>(name.size());
  v[0x41] = space;
  for (std::size_t i = 0; i < name.size(); ++i) PutLe16(v.data() + 0x42 + 2 * i, name[i]);
  return v;
}

// A 1 KiB file record built attribute by attribute, protected with the
// update sequence like one read from disk.
class Record {
 public:
  explicit Record(std::uint32_t number, bool inUse = true, bool folder = false) : r_(1024, 0) {
    PutText(r_.data(), "FILE");
    PutLe16(r_.data() + 4, 0x30);
    PutLe16(r_.data() + 6, 3);
    PutLe16(r_.data() + 0x14, 0x38);
    PutLe16(r_.data() + 0x16, static_cast<std::uint16_t>((inUse ? 1 : 0) | (folder ? 2 : 0)));
    PutLe32(r_.data() + 0x2C, number);
    at_ = 0x38;
  }
  Record& Resident(std::uint32_t type, const Bytes& value, std::uint16_t instance = 0, const std::u16string& name = u"") {
    const std::size_t nameAt = 0x18, valueAt = (nameAt + 2 * name.size() + 7) & ~std::size_t{7};
    const std::size_t length = (valueAt + value.size() + 7) & ~std::size_t{7};
    std::uint8_t* a = Begin(type, length, false, instance, name, nameAt);
    PutLe32(a + 0x10, static_cast<std::uint32_t>(value.size()));
    PutLe16(a + 0x14, static_cast<std::uint16_t>(valueAt));
    std::memcpy(a + valueAt, value.data(), value.size());
    at_ += length;
    return *this;
  }
  Record& NonResident(std::uint32_t type, const Bytes& runs, std::uint64_t size, std::uint16_t flags = 0,
                      std::uint16_t instance = 0, std::uint64_t lowestVcn = 0, const std::u16string& name = u"") {
    const std::size_t runsAt = (0x40 + 2 * name.size() + 7) & ~std::size_t{7};
    const std::size_t length = (runsAt + runs.size() + 1 + 7) & ~std::size_t{7};
    std::uint8_t* a = Begin(type, length, true, instance, name, 0x40);
    PutLe64(a + 0x10, lowestVcn);
    PutLe16(a + 0x0C, flags);
    PutLe16(a + 0x20, static_cast<std::uint16_t>(runsAt));
    PutLe64(a + 0x30, size);
    std::memcpy(a + runsAt, runs.data(), runs.size());
    at_ += length;
    return *this;
  }
  // An extension record: the base record it belongs to.
  Record& Base(std::uint64_t base) {
    PutLe64(r_.data() + 0x20, base);
    return *this;
  }
  Record& StandardInformation(std::uint32_t attributes = 0) {
    Bytes si(0x48, 0);
    PutLe32(si.data() + 0x20, attributes);
    return Resident(kAttrStandardInformation, si);
  }
  Record& Name(const std::u16string& name, std::uint64_t parent = 5, std::uint64_t size = 0, std::uint32_t flags = 0,
               std::uint8_t space = 1) {
    return Resident(kAttrFileName, FileNameValue(name, parent, size, flags, space));
  }
  Bytes Build() {
    Bytes r = r_;
    PutLe32(r.data() + at_, 0xFFFFFFFF);
    PutLe32(r.data() + 0x18, static_cast<std::uint32_t>(at_ + 8));
    // The update sequence: the real last words go to the array, the number to the sector ends.
    PutLe16(r.data() + 0x30, 0x0007);
    for (std::size_t i = 1; i < 3; ++i) {
      std::memcpy(r.data() + 0x30 + 2 * i, r.data() + i * 512 - 2, 2);
      PutLe16(r.data() + i * 512 - 2, 0x0007);
    }
    return r;
  }

 private:
  std::uint8_t* Begin(std::uint32_t type, std::size_t length, bool nonResident, std::uint16_t instance,
                      const std::u16string& name, std::size_t nameAt) {
    std::uint8_t* a = r_.data() + at_;
    PutLe32(a, type);
    PutLe32(a + 4, static_cast<std::uint32_t>(length));
    a[8] = nonResident ? 1 : 0;
    a[9] = static_cast<std::uint8_t>(name.size());
    PutLe16(a + 0x0A, static_cast<std::uint16_t>(nameAt));
    PutLe16(a + 0x0E, instance);
    for (std::size_t i = 0; i < name.size(); ++i) PutLe16(a + nameAt + 2 * i, name[i]);
    return a;
  }
  Bytes r_;
  std::size_t at_ = 0;
};

TEST(NtfsRecord, FixupsRestoreTheSectorEndsAndRefuseAnOffsetOutsideTheRecord) {
  Bytes r = Record(40).StandardInformation().Name(u"a.txt").Build();
  r[510] = 0x11;  // the word the update sequence replaces
  ASSERT_TRUE(ApplyFixups(r, 1024));
  EXPECT_EQ(r[510], 0);
  EXPECT_EQ(r[1022], 0);
  Bytes bad = Record(40).Build();
  PutLe16(bad.data() + 4, 1024);
  EXPECT_FALSE(ApplyFixups(bad, 1024));
  // A count outside 1..9 means 9 sectors, cut at the end of a short record.
  Bytes odd = Record(40).Build();
  PutLe16(odd.data() + 6, 200);
  EXPECT_TRUE(ApplyFixups(odd, 1024));
}

TEST(NtfsRecord, AttributeWalkPrefersTheLongNameAndStopsAtBrokenAttributes) {
  Bytes r = Record(41).StandardInformation().Name(u"LONGFI~1.TXT", 5, 0, 0, 2).Name(u"long file name.txt").Build();
  ASSERT_TRUE(ApplyFixups(r, 1024));
  const auto fn = FindAttribute(r, kAttrFileName);
  ASSERT_TRUE(fn);
  const auto value = ResidentValue(r, *fn);
  ASSERT_GE(value.size(), 0x42u);
  EXPECT_EQ(value[0x40], 18);

  // A type that is not a multiple of 16, then a zero length: no result and no hang.
  Bytes odd = r;
  PutLe32(odd.data() + 0x38, 0x11);
  EXPECT_FALSE(FindAttribute(odd, kAttrFileName));
  Bytes zero = r;
  PutLe32(zero.data() + 0x38 + 4, 0);
  EXPECT_FALSE(FindAttribute(zero, kAttrFileName));
  Bytes huge = r;
  PutLe32(huge.data() + 0x38 + 4, 4096);
  EXPECT_FALSE(FindAttribute(huge, kAttrFileName));
  Bytes past = r;
  PutLe16(past.data() + 0x14, 2000);
  EXPECT_FALSE(FindAttribute(past, kAttrStandardInformation));
}

// A volume of 512-byte clusters in memory, with its bitmap; nothing mounted.
struct NtfsFixture {
  MemDevice mem{Image(4096 * 512, 0)};
  NtfsVolume volume;
  ResultLists lists;
  NtfsContext ctx{mem.device, volume, &lists};
  NtfsFixture() {
    mem.device.GeometryForMount().sectorsPerCluster = 1;
    volume.sectorsPerCluster = 1;
    volume.bytesPerCluster = 512;
    volume.lastCluster = 4095;
    volume.bitmap.assign(512, 0);
    Use(10);  // the cluster that holds the records under test
  }
  void Use(std::uint64_t c, std::uint64_t n = 1) {
    for (std::uint64_t i = c; i < c + n; ++i) volume.bitmap[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  std::optional<ParsedRecord> Parse(Bytes r) {
    ParsedRecord p;
    if (!ParseFileRecord(ctx, r, 10, p)) return std::nullopt;
    return p;
  }
};

TEST(NtfsParse, ResidentFilesAreWholeAndRatedByTheirRecord) {
  NtfsFixture f;
  const auto live = f.Parse(Record(64).StandardInformation().Name(u"note.txt", 70).Resident(kAttrData, Bytes(300, 'x')).Build());
  ASSERT_TRUE(live);
  EXPECT_EQ(live->name, u"note.txt");
  EXPECT_EQ(+live->entry.size, 300u);
  EXPECT_EQ(live->entry.FirstLcn(), 10u);  // the record's own cluster
  EXPECT_EQ(+live->entry.rating, rating::kInUse);
  EXPECT_EQ(live->entry.ParentRecord(), 70u);
  EXPECT_EQ(+live->entry.resident, 1);
  EXPECT_FALSE(StatusOf(live->entry, FsType::Ntfs).deleted);

  const auto gone =
      f.Parse(Record(65, false).StandardInformation().Name(u"old.txt").Resident(kAttrData, Bytes(20, 'y')).Build());
  ASSERT_TRUE(gone);
  EXPECT_EQ(+gone->entry.rating, rating::kIntact);
  EXPECT_EQ(gone->entry.Kind(), EntryKind::Ordinary);
  EXPECT_TRUE(StatusOf(gone->entry, FsType::Ntfs).detected);
}

TEST(NtfsParse, DeletedFilesAreRatedByTheFreeShareOfTheirClusters) {
  NtfsFixture f;
  // 8 clusters at 100; first all free, then half of them reused.
  const Bytes runs = {0x11, 0x08, 0x64, 0x00};
  const Bytes record = Record(66, false).StandardInformation().Name(u"photo.jpg").NonResident(kAttrData, runs, 4000).Build();
  auto free = f.Parse(record);
  ASSERT_TRUE(free);
  EXPECT_EQ(+free->entry.rating, 100);
  EXPECT_EQ(free->entry.FirstLcn(), 100u);
  f.Use(100, 4);
  auto half = f.Parse(record);
  ASSERT_TRUE(half);
  EXPECT_EQ(+half->entry.rating, 50);
  EXPECT_TRUE(StatusOf(half->entry, FsType::Ntfs).overwritten);

  // The same record in use: an existing file.
  const auto live = f.Parse(Record(67).StandardInformation().Name(u"photo.jpg").NonResident(kAttrData, runs, 4000).Build());
  ASSERT_TRUE(live);
  EXPECT_EQ(+live->entry.rating, rating::kInUse);

  // A compressed deleted file: the sparse part of each unit is no lost data.
  const Bytes compressed = {0x11, 0x03, 0x64, 0x01, 0x0D, 0x00};
  f.volume.bitmap.assign(512, 0);
  f.Use(10);
  const auto packed = f.Parse(
      Record(68, false).StandardInformation(kNtfsCompressed).Name(u"log.txt").NonResident(kAttrData, compressed, 8000, 1).Build());
  ASSERT_TRUE(packed);
  EXPECT_EQ(+packed->entry.rating, 100);
  EXPECT_TRUE(packed->entry.NtfsFlags() & kNtfsCompressed);

  // Without a bitmap a deleted file's share is unknown.
  f.volume.bitmap.clear();
  EXPECT_EQ(+f.Parse(record)->entry.rating, rating::kNotComputed);
}

TEST(NtfsParse, FoldersAndRejectedRecords) {
  NtfsFixture f;
  // A small folder holds its whole index in the record.
  const auto small = f.Parse(
      Record(70, true, true).StandardInformation().Name(u"Docs", 5, 0, kNtfsDirectory).Resident(kAttrIndexRoot, Bytes(32, 0)).Build());
  ASSERT_TRUE(small);
  EXPECT_TRUE(IsFolder(small->entry, FsType::Ntfs));
  EXPECT_EQ(+small->entry.rating, rating::kInUse);
  const auto big = f.Parse(Record(71, false, true)
                               .StandardInformation()
                               .Name(u"Big", 5, 0, kNtfsDirectory)
                               .NonResident(kAttrIndexAllocation, Bytes{0x11, 0x01, 0x20, 0x00}, 512)
                               .Build());
  ASSERT_TRUE(big);
  EXPECT_EQ(+big->entry.rating, rating::kIntact);  // a deleted folder
  EXPECT_EQ(big->entry.FirstLcn(), 0x20u);

  // The index beyond the volume, the root's ".", no change time, no standard information, no data.
  EXPECT_FALSE(f.Parse(Record(72).StandardInformation().Name(u"Far", 5, 0, kNtfsDirectory)
                           .NonResident(kAttrIndexAllocation, Bytes{0x31, 0x01, 0x00, 0x00, 0x10, 0x00}, 512)
                           .Build()));
  EXPECT_FALSE(f.Parse(Record(5).StandardInformation().Name(u".", 5, 0, kNtfsDirectory).Resident(kAttrIndexRoot, Bytes(32, 0)).Build()));
  EXPECT_FALSE(f.Parse(Record(73).StandardInformation().Resident(kAttrFileName, FileNameValue(u"t.txt", 5, 0, 0, 1, 0)).Resident(kAttrData, Bytes(5, 1)).Build()));
  EXPECT_FALSE(f.Parse(Record(74).Name(u"ext.txt").Resident(kAttrData, Bytes(5, 1)).Build()));
  EXPECT_FALSE(f.Parse(Record(75).StandardInformation().Name(u"empty.txt").Build()));
  Bytes torn = Record(76).StandardInformation().Name(u"torn.txt").Resident(kAttrData, Bytes(5, 1)).Build();
  PutLe16(torn.data() + 4, 2048);
  EXPECT_FALSE(f.Parse(torn));
}

TEST(NtfsParse, EncryptedStreamMarksTheEntry) {
  NtfsFixture f;
  const auto e = f.Parse(Record(80)
                             .StandardInformation()
                             .Name(u"secret.doc")
                             .NonResident(kAttrData, Bytes{0x11, 0x02, 0x40, 0x00}, 900)
                             .Resident(kAttrLoggedUtilityStream, Bytes(64, 3), 0, u"$EFS")
                             .Build());
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->entry.NtfsFlags() & kNtfsEncrypted);
}

// ------------------------------------------------------------------ LZNT1

// Items of a compressed chunk: a literal byte, or a token (displacement, length).
struct Item {
  int literal = -1;
  unsigned token = 0;
};

Bytes Chunk(const std::vector<Item>& items) {
  Bytes body;
  for (std::size_t i = 0; i < items.size(); i += 8) {
    const std::size_t flagAt = body.size();
    body.push_back(0);
    for (std::size_t k = i; k < std::min(items.size(), i + 8); ++k) {
      if (items[k].literal >= 0) {
        body.push_back(static_cast<std::uint8_t>(items[k].literal));
      } else {
        body[flagAt] |= static_cast<std::uint8_t>(1u << (k - i));
        body.push_back(static_cast<std::uint8_t>(items[k].token));
        body.push_back(static_cast<std::uint8_t>(items[k].token >> 8));
      }
    }
  }
  Bytes chunk(2);
  PutLe16(chunk.data(), static_cast<std::uint16_t>(0xB000 | (body.size() + 2 - 3)));
  chunk.insert(chunk.end(), body.begin(), body.end());
  return chunk;
}

std::vector<Item> Literals(const std::string& s) {
  std::vector<Item> items;
  for (char c : s) items.push_back({static_cast<unsigned char>(c), 0});
  return items;
}

std::string Decode(const Bytes& chunk) {
  Bytes out(kLznt1ChunkBytes + 1);
  const std::size_t n = DecompressChunk(chunk, out);
  return n > kLznt1ChunkBytes ? "<overflow>" : std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

// "abcabcabc": three literals and a copy that repeats while it copies.
Bytes AbcChunk() {
  auto items = Literals("abc");
  items.push_back({-1, (2u << 12) | 3u});
  return Chunk(items);
}

TEST(Lznt1, LiteralsOverlappingCopiesAndStoredChunks) {
  EXPECT_EQ(Decode(AbcChunk()), "abcabcabc");

  Bytes stored(2);
  PutLe16(stored.data(), static_cast<std::uint16_t>(0x3000 | (5 + 2 - 3)));
  for (char c : std::string("plain")) stored.push_back(static_cast<std::uint8_t>(c));
  EXPECT_EQ(Decode(stored), "plain");
  EXPECT_EQ(ChunkSize(Bytes{0, 0}), 0u);  // the end mark
}

TEST(Lznt1, TheDisplacementLengthSplitMovesWithThePosition) {
  const std::string sixteen = "0123456789ABCDEF";
  // At position 16: 4 displacement bits. 16 back, 4 long.
  auto at16 = Literals(sixteen);
  at16.push_back({-1, (15u << 12) | 1u});
  EXPECT_EQ(Decode(Chunk(at16)), sixteen + "0123");
  // At 17: 5/11. 17 back, 5 long.
  auto at17 = Literals(sixteen + "G");
  at17.push_back({-1, (16u << 11) | 2u});
  EXPECT_EQ(Decode(Chunk(at17)), sixteen + "G01234");
  // At 32: still 5/11. 32 back, 3 long.
  const std::string thirtyTwo = sixteen + "ghijklmnopqrstuv";
  auto at32 = Literals(thirtyTwo);
  at32.push_back({-1, (31u << 11) | 0u});
  EXPECT_EQ(Decode(Chunk(at32)), thirtyTwo + "012");
  // At 33: 6/10. 33 back, 4 long.
  auto at33 = Literals(thirtyTwo + "w");
  at33.push_back({-1, (32u << 10) | 1u});
  EXPECT_EQ(Decode(Chunk(at33)), thirtyTwo + "w0123");
}

TEST(Lznt1, ReferencesBeforeTheStartGiveZerosAndOverflowIsReported) {
  auto early = Literals("xy");
  early.push_back({-1, (4u << 12) | 1u});  // 5 back from 2: three bytes before the chunk
  EXPECT_EQ(Decode(Chunk(early)), std::string("xy\0\0\0x", 6));
  auto flood = Literals("a");
  flood.push_back({-1, 0x0FFFu});  // 4098 bytes after one literal
  EXPECT_EQ(Decode(Chunk(flood)), "<overflow>");
  // A truncated chunk decodes what it holds.
  Bytes cut = Chunk(Literals("hello world"));
  cut.resize(8);
  EXPECT_EQ(Decode(cut), "hello");
}

TEST(Lznt1, AStoredChunkInsideACompressedUnitIsCopied) {
  Bytes data(2);
  PutLe16(data.data(), static_cast<std::uint16_t>(0x3000 | (4096 + 2 - 3)));
  data.insert(data.end(), 4096, 'S');
  const Bytes second = AbcChunk();
  data.insert(data.end(), second.begin(), second.end());
  data.insert(data.end(), {0, 0});  // the end mark
  Bytes unit(8192, 0xCC);
  ASSERT_TRUE(DecodeCompressedUnit(data, unit));
  EXPECT_TRUE(std::all_of(unit.begin(), unit.begin() + 4096, [](std::uint8_t b) { return b == 'S'; }));
  EXPECT_EQ(std::string(unit.begin() + 4096, unit.begin() + 4105), "abcabcabc");
  EXPECT_TRUE(std::all_of(unit.begin() + 4105, unit.end(), [](std::uint8_t b) { return b == 0; }));
}

// Unit 0: one cluster of chunks at 200, then 15 sparse. Unit 1: 16 stored
// clusters at 300. Unit 2: sparse. Returns the run list.
Bytes PlaceThreeUnits(NtfsFixture& f) {
  const Bytes chunk = AbcChunk();
  std::memcpy(f.mem.at(200), chunk.data(), chunk.size());
  for (std::uint64_t s = 300; s < 316; ++s) std::memset(f.mem.at(s), static_cast<int>(s & 0xFF), 512);
  return {0x21, 0x01, 0xC8, 0x00, 0x01, 0x0F, 0x21, 0x10, 0x64, 0x00, 0x01, 0x10, 0x00};
}

TEST(NtfsStream, UnitsStoredCompressedAndSparse) {
  NtfsFixture f;
  const std::uint32_t bpc = 512;
  const Bytes list = PlaceThreeUnits(f);
  const auto runs = DecodeRuns(list);
  const std::uint64_t size = 3 * 16 * bpc - 100;
  Bytes out;
  RecoveryControl control;
  OutputSink sink = OutputSink::ToMemory(out, size, control);
  ASSERT_TRUE(WriteCompressedRuns(f.mem.device, runs, bpc, sink, control.token));
  ASSERT_EQ(out.size(), size);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 9), "abcabcabc");
  EXPECT_TRUE(std::all_of(out.begin() + 9, out.begin() + 8192, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(out[8192], 300 & 0xFF);
  EXPECT_EQ(out[8192 + 15 * 512], 315 & 0xFF);
  EXPECT_TRUE(std::all_of(out.begin() + 16384, out.end(), [](std::uint8_t b) { return b == 0; }));

  // A chunk that would expand past 4 KiB abandons the file.
  auto flood = Literals("a");
  flood.push_back({-1, 0x0FFFu});
  const Bytes bad = Chunk(flood);
  std::memcpy(f.mem.at(200), bad.data(), bad.size());
  Bytes out2;
  OutputSink sink2 = OutputSink::ToMemory(out2, size, control);
  EXPECT_FALSE(WriteCompressedRuns(f.mem.device, runs, bpc, sink2, control.token));
}

TEST(NtfsStream, RangeReadsGiveTheBytesOfTheWholeFileAtTheirOffsets) {
  NtfsFixture f;
  const Bytes list = PlaceThreeUnits(f);
  const std::uint64_t size = 3 * 8192 - 100;
  const Bytes packed = Record(90).StandardInformation(kNtfsCompressed).Name(u"p.log").NonResident(kAttrData, list, size, 1).Build();
  std::memcpy(f.mem.at(20), packed.data(), packed.size());
  ParsedRecord p;
  Bytes copy = packed;
  ASSERT_TRUE(ParseFileRecord(f.ctx, copy, 10, p));
  p.entry.SetRecordSector(20);
  // The whole file once, then pieces of it.
  Bytes whole;
  RecoveryControl control;
  OutputSink sink = OutputSink::ToMemory(whole, size, control);
  ASSERT_TRUE(WriteNtfsData(f.ctx, p.entry, sink, control.token));
  for (const auto& [offset, length] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
           {3, 6}, {8190, 10}, {8192 + 600, 100}, {16000, 1000}, {size - 10, 100}}) {
    SCOPED_TRACE(offset);
    const Bytes got = ReadNtfsRange(f.ctx, p.entry, offset, length);
    const std::uint64_t expected = std::min(length, size - offset);
    ASSERT_EQ(got.size(), expected);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin() + static_cast<std::ptrdiff_t>(offset)));
  }
  EXPECT_TRUE(ReadNtfsRange(f.ctx, p.entry, size, 10).empty());

  // Resident data: a slice of the value.
  const Bytes small = Record(91).StandardInformation().Name(u"s.txt").Resident(kAttrData, Bytes{'h', 'e', 'l', 'l', 'o'}).Build();
  std::memcpy(f.mem.at(22), small.data(), small.size());
  copy = small;
  ASSERT_TRUE(ParseFileRecord(f.ctx, copy, 10, p));
  p.entry.SetRecordSector(22);
  const Bytes part = ReadNtfsRange(f.ctx, p.entry, 1, 3);
  EXPECT_EQ(std::string(part.begin(), part.end()), "ell");
}

TEST(NtfsStream, PlainRunsWriteSparsePartsAsZerosAndFailWhenTheRunsEndEarly) {
  NtfsFixture f;
  std::memset(f.mem.at(50), 'A', 512);
  std::memset(f.mem.at(40), 'B', 512);
  // Cluster 50, two sparse clusters, cluster 40 (a fragment before the first).
  const auto runs = DecodeRuns(Bytes{0x11, 0x01, 0x32, 0x01, 0x02, 0x11, 0x01, 0xF6, 0x00});
  Bytes out;
  RecoveryControl control;
  OutputSink sink = OutputSink::ToMemory(out, 4 * 512 - 10, control);
  ASSERT_TRUE(WritePlainRuns(f.mem.device, runs, 512, 1, sink, control.token));
  EXPECT_EQ(out[0], 'A');
  EXPECT_EQ(out[600], 0);
  EXPECT_EQ(out[3 * 512], 'B');
  Bytes longer;
  OutputSink tooLong = OutputSink::ToMemory(longer, 5 * 512, control);
  EXPECT_FALSE(WritePlainRuns(f.mem.device, runs, 512, 8, tooLong, control.token));
  EXPECT_FALSE(sink.unreadable());
}

TEST(NtfsStream, ARunPastTheVolumesEndIsMarkedUnreadableNotPassedOffAsData) {
  NtfsFixture f;
  f.mem.device.GeometryForMount().volumeLastSector = 99;
  std::memset(f.mem.at(98), 'C', 2 * 512);
  std::memset(f.mem.at(100), 'D', 2 * 512);  // on the device, but past the volume
  struct Case {
    Bytes list;
    bool unreadable;
  };
  for (const Case& c : std::vector<Case>{
           {Bytes{0x11, 0x02, 0x62, 0x00}, false},  // clusters 98-99: the volume's last two
           {Bytes{0x11, 0x04, 0x62, 0x00}, true},   // clusters 98-101: two past the end
           {Bytes{0x11, 0x01, 0x78, 0x00}, true},   // cluster 120: wholly past it
       }) {
    const auto runs = DecodeRuns(c.list);
    const std::uint64_t clusters = runs.front().length;
    Bytes out;
    RecoveryControl control;
    OutputSink sink = OutputSink::ToMemory(out, clusters * 512, control);
    ASSERT_TRUE(WritePlainRuns(f.mem.device, runs, 512, 8, sink, control.token));
    EXPECT_EQ(sink.unreadable(), c.unreadable) << clusters;
    // Whatever was past the end never reaches the file.
    EXPECT_EQ(std::count(out.begin(), out.end(), 'D'), 0);
  }
}


TEST(NtfsFoundRecords, TheSameFileFoundTwiceIsListedOnce) {
  NtfsFixture f;
  auto parsed = [&](std::uint32_t number, const std::u16string& name, std::uint64_t parent, std::uint64_t size) {
    ParsedRecord p;
    Bytes r = Record(number, false).StandardInformation().Name(name, parent).Resident(kAttrData, Bytes(size, 1)).Build();
    EXPECT_TRUE(ParseFileRecord(f.ctx, r, 10, p));
    return p;
  };
  ParsedRecord inMft = parsed(64, u"Report.doc", 5, 100);
  f.lists.lost.Add(inMft.entry, &inMft.name);
  std::vector<ParsedRecord> batch = {parsed(900, u"report.DOC", 5, 100),  // in the MFT already
                                     parsed(901, u"new.txt", 70, 10),     parsed(902, u"NEW.TXT", 70, 10),
                                     parsed(903, u"new.txt", 70, 11),     parsed(904, u"new.txt", 71, 10)};
  EXPECT_EQ(FlushFoundRecords(f.lists.lost, batch), 3u);
  EXPECT_EQ(f.lists.lost.size(), 4u);
  int duplicates = 0;
  for (const ParsedRecord& r : batch) duplicates += r.entry.rating == rating::kDuplicate;
  EXPECT_EQ(duplicates, 2);
}

TEST(NtfsEfs, AnEncryptedFileIsExportedAsTheRawStreamInPiecesOf64KiB) {
  NtfsFixture f;
  // 100000 bytes in 196 clusters at 100; the record itself at sector 20.
  for (std::uint64_t s = 100; s < 296; ++s) std::memset(f.mem.at(s), static_cast<int>(s & 0xFF), 512);
  Bytes r = Record(80)
                .StandardInformation()
                .Name(u"secret.doc")
                .NonResident(kAttrData, Bytes{0x21, 0xC4, 0x64, 0x00, 0x00}, 100000)
                .Resident(kAttrLoggedUtilityStream, Bytes(300, 0xEF), 0, u"$EFS")
                .Build();
  std::memcpy(f.mem.at(20), r.data(), r.size());
  ParsedRecord p;
  ASSERT_TRUE(ParseFileRecord(f.ctx, r, 10, p));
  p.entry.SetRecordSector(20);
  const auto plan = PrepareEfsExport(f.ctx, p.entry);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->rounded, 100352u);
  EXPECT_EQ(plan->StreamLength(), 2u * 512 + 300 + 108 + 100352);

  Bytes out;
  RecoveryControl control;
  OutputSink sink = OutputSink::ToMemory(out, plan->StreamLength(), control);
  ASSERT_TRUE(WriteEfsStream(f.ctx, *plan, sink, control.token));
  ASSERT_EQ(out.size(), plan->StreamLength());
  auto u32 = [&](std::size_t at) { return static_cast<std::uint32_t>(out[at] | out[at + 1] << 8 | out[at + 2] << 16 | out[at + 3] << 24); };
  EXPECT_EQ(u32(0), 256u);
  EXPECT_EQ(out[4], 'R');
  EXPECT_EQ(u32(48), 0x02201910u);
  EXPECT_EQ(out[66], 0xEF);
  EXPECT_EQ(u32(366), 42u);
  const std::size_t first = 408, second = first + 512 + 65536;
  EXPECT_EQ(u32(first), 65536u + 512);
  EXPECT_EQ(u32(first + 28), 65536u);
  EXPECT_EQ(u32(first + 44), 65536u);
  EXPECT_EQ(out[first + 512], 100);          // the first cluster's bytes
  EXPECT_EQ(u32(second), 34816u + 512);
  EXPECT_EQ(u32(second + 16), 65536u);       // the piece's offset in the file
  EXPECT_EQ(u32(second + 28), 34464u);
  EXPECT_EQ(u32(second + 32), 34464u);
  EXPECT_EQ(u32(second + 44), 34816u);
  EXPECT_EQ(out[second + 512], (100 + 128) & 0xFF);

  // No $EFS stream: nothing to export, the raw clusters are saved instead.
  Bytes plain = Record(81).StandardInformation().Name(u"x.doc").NonResident(kAttrData, Bytes{0x21, 0xC4, 0x64, 0x00, 0x00}, 100000).Build();
  std::memcpy(f.mem.at(20), plain.data(), plain.size());
  p.entry.AddNtfsFlags(kNtfsEncrypted);
  EXPECT_FALSE(PrepareEfsExport(f.ctx, p.entry));
  Bytes raw;
  OutputSink rawSink = OutputSink::ToMemory(raw, 100000, control);
  EXPECT_TRUE(WriteNtfsData(f.ctx, p.entry, rawSink, control.token));
  EXPECT_EQ(raw[512], 101);
}

// An attribute list naming the records that hold a type.
Bytes AttributeList(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
  Bytes list;
  for (const auto& [type, record] : entries) {
    Bytes e(0x20, 0);
    PutLe32(e.data(), type);
    PutLe16(e.data() + 4, 0x20);
    e[7] = 0x1A;
    PutLe32(e.data() + 0x10, record);
    list.insert(list.end(), e.begin(), e.end());
  }
  return list;
}

TEST(NtfsParse, NamesAndDataInExtensionRecordsAlsoFromTheSideList) {
  NtfsFixture f;
  // An MFT of 64 records at cluster 400 (two clusters per record).
  f.volume.mftRuns = DecodeRuns(Bytes{0x21, 0x80, 0x90, 0x01, 0x00});
  f.volume.mftBytes = 64 * 1024;
  auto place = [&](std::uint32_t slot, const Bytes& r) { std::memcpy(f.mem.at(400 + 2 * slot), r.data(), r.size()); };
  const Bytes base = Record(20)
                         .StandardInformation()
                         .Resident(kAttrAttributeList, AttributeList({{kAttrFileName, 21}, {kAttrData, 21}}))
                         .Build();
  const Bytes extension =
      Record(21).Base(20).Name(u"moved name.txt", 5).NonResident(kAttrData, Bytes{0x11, 0x04, 0x50, 0x00}, 2000).Build();
  place(21, extension);
  auto parsed = f.Parse(base);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->name, u"moved name.txt");
  EXPECT_EQ(+parsed->entry.size, 2000u);
  EXPECT_EQ(+parsed->entry.dataForm, 2);
  EXPECT_EQ(parsed->entry.FirstLcn(), 0x50u);

  // The slot now holds another record: the copy seen while parsing is used.
  EXPECT_FALSE(f.Parse(extension));  // no standard information: kept aside
  place(21, Record(99).StandardInformation().Name(u"other.txt").Build());
  parsed = f.Parse(base);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->name, u"moved name.txt");
}

// A file of 12 clusters in three extents of 4: VCN 0 at cluster 0x50, VCN 4
// at 0x60, VCN 8 at 0x70, each cluster filled with its VCN.
struct FragmentedFile {
  NtfsFixture f;
  static constexpr std::uint64_t kSize = 12 * 512 - 100;
  FragmentedFile() {
    f.volume.mftRuns = DecodeRuns(Bytes{0x21, 0x80, 0x90, 0x01, 0x00});  // 64 records at 400
    f.volume.mftBytes = 64 * 1024;
    f.volume.recordSize = 1024;
    f.volume.bytesPerSector = 512;
    for (std::uint64_t vcn = 0; vcn < 12; ++vcn)
      std::memset(f.mem.at(0x50 + vcn / 4 * 0x10 + vcn % 4), static_cast<int>('a' + vcn), 512);
  }
  void Place(std::uint32_t slot, const Bytes& r) { std::memcpy(f.mem.at(400 + 2 * slot), r.data(), r.size()); }
  Bytes Extent(std::uint32_t number, std::uint64_t vcn, std::uint64_t base = 20) {
    const auto lcn = static_cast<std::uint8_t>(0x50 + vcn / 4 * 0x10);
    return Record(number, false).Base(base).NonResident(kAttrData, Bytes{0x11, 0x04, lcn, 0x00}, vcn ? 0 : kSize, 0, 0, vcn).Build();
  }
  // The base record at sector 20, parsed; its entry reads from there.
  std::optional<ParsedRecord> Base(const Bytes& r) {
    std::memcpy(f.mem.at(20), r.data(), r.size());
    auto p = f.Parse(r);
    if (p) p->entry.SetRecordSector(20);
    return p;
  }
  std::pair<bool, Bytes> Recover(const ScanEntry& e) {
    Bytes out;
    RecoveryControl control;
    OutputSink sink = OutputSink::ToMemory(out, e.size, control);
    const bool ok = WriteNtfsData(f.ctx, e, sink, control.token) && sink.remaining() == 0;
    return {ok, out};
  }
};

TEST(NtfsExtents, DataSpreadOverSeveralExtensionRecordsIsGatheredInVcnOrder) {
  struct Case {
    const char* what;
    bool firstInBase;                                  // the base record holds the extent of VCN 0
    std::vector<std::pair<std::uint32_t, std::uint64_t>> extensions;  // record, VCN
    std::vector<std::uint32_t> listed;                 // the records the list names for $DATA
    std::uint64_t wholeClusters;                       // clusters recovered
    bool complete;
  };
  const Case cases[] = {
      {"first extent in the base record", true, {{21, 4}, {22, 8}}, {20, 21, 22}, 12, true},
      {"all extents in extension records, listed out of order", false, {{21, 0}, {22, 4}, {23, 8}}, {23, 21, 22}, 12, true},
      {"a list shortened on delete", false, {{21, 0}, {22, 4}, {23, 8}}, {21, 23}, 4, false},
      {"an extension record reused by another file", true, {{21, 4}, {22, 8}}, {20, 21, 22}, 8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FragmentedFile ff;
    for (const auto& [number, vcn] : c.extensions) ff.Place(number, ff.Extent(number, vcn, c.complete || number != 22 ? 20 : 99));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> list;
    for (std::uint32_t r : c.listed) list.emplace_back(kAttrData, r);
    Record base(20);
    base.StandardInformation().Name(u"big.bin", 5, FragmentedFile::kSize).Resident(kAttrAttributeList, AttributeList(list));
    if (c.firstInBase) base.NonResident(kAttrData, Bytes{0x11, 0x04, 0x50, 0x00}, FragmentedFile::kSize);
    const auto parsed = ff.Base(base.Build());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(+parsed->entry.size, FragmentedFile::kSize);
    EXPECT_EQ(+parsed->entry.dataForm, c.firstInBase ? 0 : 2);
    const auto [ok, data] = ff.Recover(parsed->entry);
    EXPECT_EQ(ok, c.complete);
    const auto found = ReadEntryData(ff.f.ctx, parsed->entry);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->complete, c.complete);
    ASSERT_GE(data.size(), std::min(FragmentedFile::kSize, c.wholeClusters * 512));
    for (std::uint64_t vcn = 0; vcn < c.wholeClusters; ++vcn)
      EXPECT_EQ(data[vcn * 512 + 7], 'a' + vcn) << "cluster " << vcn;
    if (c.complete) {
      // The hex view reads across the extents too.
      const Bytes part = ReadNtfsRange(ff.f.ctx, parsed->entry, 9 * 512 + 5, 600);
      ASSERT_EQ(part.size(), 600u);
      EXPECT_EQ(part[0], 'j');
      EXPECT_EQ(part[599], 'k');
    }
  }
}

// A driver deleting a file may empty the extension record holding its name by
// writing the end marker over the first attribute's type and length only.
TEST(NtfsExtents, ADeletedFilesNameIsReadFromTheExtensionRecordTheDriverEmptied) {
  struct Case {
    const char* what;
    bool inUse;
    std::uint64_t base;
    bool named;
  };
  const Case cases[] = {
      {"a free record of the file", false, 20, true},
      {"a record in use again", true, 20, false},
      {"a free record of another file", false, 33, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FragmentedFile ff;
    Bytes name = Record(21, c.inUse).Base(c.base).Name(u"gone.bin", 5, FragmentedFile::kSize).Build();
    PutLe32(name.data() + 0x38, 0xFFFFFFFF);
    PutLe32(name.data() + 0x3C, 0);
    ff.Place(21, name);
    Record base(20, false);
    base.StandardInformation()
        .Resident(kAttrAttributeList, AttributeList({{kAttrFileName, 21}, {kAttrData, 20}}))
        .NonResident(kAttrData, Bytes{0x11, 0x0C, 0x50, 0x00}, FragmentedFile::kSize);
    const auto parsed = ff.Base(base.Build());
    EXPECT_EQ(parsed.has_value(), c.named);
    if (parsed) {
      EXPECT_EQ(parsed->name, u"gone.bin");
    }
  }
}

TEST(NtfsExtents, ADeletedFilesRatingCountsTheClustersOfEveryExtent) {
  FragmentedFile ff;
  ff.Place(21, ff.Extent(21, 4));
  ff.Place(22, ff.Extent(22, 8));
  ff.f.Use(0x70, 4);  // the third extent's clusters were reused
  Record base(20, false);
  base.StandardInformation()
      .Name(u"big.bin", 5, FragmentedFile::kSize)
      .Resident(kAttrAttributeList, AttributeList({{kAttrData, 20}, {kAttrData, 21}, {kAttrData, 22}}))
      .NonResident(kAttrData, Bytes{0x11, 0x04, 0x50, 0x00}, FragmentedFile::kSize);
  const auto parsed = ff.Base(base.Build());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(+parsed->entry.rating, 66) << "8 of 12 clusters free";
}

// An attribute list whose entries may carry a stream name.
Bytes NamedAttributeList(const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::u16string>>& entries) {
  Bytes list;
  for (const auto& [type, record, name] : entries) {
    Bytes e((0x1A + 2 * name.size() + 7) & ~std::size_t{7}, 0);
    PutLe32(e.data(), type);
    PutLe16(e.data() + 4, static_cast<std::uint16_t>(e.size()));
    e[6] = static_cast<std::uint8_t>(name.size());
    e[7] = 0x1A;
    PutLe32(e.data() + 0x10, record);
    for (std::size_t i = 0; i < name.size(); ++i) PutLe16(e.data() + 0x1A + 2 * i, name[i]);
    list.insert(list.end(), e.begin(), e.end());
  }
  return list;
}

// The $EFS stream is found by name among the logged-utility streams, resident
// or not, in the record or in an extension record; never the wrong stream.
TEST(NtfsEfs, TheEfsStreamIsReadWhereverItLives) {
  enum class Where { ResidentAfterAnotherStream, NonResident, Extension, ExtensionReused, None };
  struct Case {
    const char* what;
    Where where;
    bool exported;
  };
  const Case cases[] = {
      {"resident, after another logged-utility stream", Where::ResidentAfterAnotherStream, true},
      {"non-resident, in clusters", Where::NonResident, true},
      {"in an extension record", Where::Extension, true},
      {"in an extension record now used by another file", Where::ExtensionReused, false},
      {"only another logged-utility stream", Where::None, false},
  };
  const Bytes efs(300, 0xE5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FragmentedFile ff;  // for its MFT at cluster 400
    std::memset(ff.f.mem.at(300), 0xE5, 300);
    Record base(20);
    base.StandardInformation().Name(u"secret.doc", 5, 1000);
    switch (c.where) {
      case Where::ResidentAfterAnotherStream:
        base.Resident(kAttrLoggedUtilityStream, Bytes(40, 0x11), 0, u"$TXF_DATA").Resident(kAttrLoggedUtilityStream, efs, 0, u"$EFS");
        break;
      case Where::NonResident:
        base.NonResident(kAttrLoggedUtilityStream, Bytes{0x21, 0x01, 0x2C, 0x01, 0x00}, efs.size(), 0, 0, 0, u"$EFS");
        break;
      case Where::Extension:
      case Where::ExtensionReused:
        base.Resident(kAttrAttributeList,
                      NamedAttributeList({{kAttrStandardInformation, 20, u""}, {kAttrData, 20, u""}, {kAttrLoggedUtilityStream, 21, u"$EFS"}}));
        ff.Place(21, Record(21, false).Base(c.where == Where::Extension ? 20 : 77).Resident(kAttrLoggedUtilityStream, efs, 0, u"$EFS").Build());
        break;
      case Where::None:
        base.Resident(kAttrLoggedUtilityStream, Bytes(40, 0x11), 0, u"$TXF_DATA");
        break;
    }
    base.NonResident(kAttrData, Bytes{0x11, 0x02, 0x64, 0x00}, 1000);
    auto parsed = ff.Base(base.Build());
    ASSERT_TRUE(parsed);
    EXPECT_EQ((parsed->entry.NtfsFlags() & kNtfsEncrypted) != 0, c.where != Where::None);
    parsed->entry.AddNtfsFlags(kNtfsEncrypted);  // exported or not, never from the wrong stream
    const auto plan = PrepareEfsExport(ff.f.ctx, parsed->entry);
    ASSERT_EQ(plan.has_value(), c.exported);
    if (plan) {
      EXPECT_EQ(plan->efs, efs);
    }
  }
}

TEST(NtfsParse, AnAttributeListTooLargeForAnyFileIsReportedOnce) {
  NtfsFixture f;
  RecordingUi ui;
  f.ctx.ui = &ui;
  // 1000 clusters of attribute list: far beyond any real one.
  Bytes r = Record(30).StandardInformation().NonResident(kAttrAttributeList, Bytes{0x22, 0xE8, 0x03, 0x01, 0x00, 0x00}, 512000).Build();
  Bytes again = r;
  EXPECT_FALSE(f.Parse(r));
  EXPECT_FALSE(f.Parse(again));
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "Overflow on NTFS_ATTR Buff: nClusters: 1000, BPC= 512");
  EXPECT_EQ(ui.boxes[0].caption, "Kestrova");
}

TEST(NtfsVolumeTest, RecordSizeFromTheBootValue) {
  EXPECT_EQ(NtfsRecordSize(static_cast<std::int8_t>(0xF6), 8, 512), 1024u);  // 2^10
  EXPECT_EQ(NtfsRecordSize(2, 8, 512), 8192u);                               // 2 clusters of 4 KiB
  EXPECT_EQ(NtfsRecordSize(1, 1, 512), 512u);
  EXPECT_EQ(NtfsRecordSize(static_cast<std::int8_t>(0x80), 8, 512), 0u);     // absurd: none
}

TEST(NtfsVolumeTest, FreeClustersAreCountedUpToTheHighestCluster) {
  NtfsVolume v;
  v.lastCluster = 199;
  v.bitmap.assign(32, 0xFF);  // 256 clusters of bits, all used
  v.bitmap[1] = 0x0F;          // clusters 12..15 free
  v.bitmap[24] = 0x00;         // clusters 192..199 free; the bits above 199 do not count
  v.bitmap[25] = 0x00;
  EXPECT_EQ(CountFreeClusters(v), 12u);
  EXPECT_FALSE(IsNtfsClusterFree(v, 11));
  EXPECT_TRUE(IsNtfsClusterFree(v, 12));
  v.bitmap.clear();
  EXPECT_TRUE(IsNtfsClusterFree(v, 12));  // without a bitmap nothing is known to be used
}

TEST(NtfsCollection, TheWholeMftIsCollectedOnItsThreadAndStopsWhenAsked) {
  NtfsFixture f;
  f.volume.mftRuns = DecodeRuns(Bytes{0x21, 0x80, 0x90, 0x01, 0x00});
  f.volume.mftBytes = 64 * 1024;
  f.Use(400, 128);
  for (std::uint32_t n = 0; n < 64; ++n) {
    // Every other slot a file; the rest empty or a torn record.
    const Bytes r = n % 2 ? Record(n, n % 4 == 1).StandardInformation().Name(u"f" + std::u16string(1, char16_t(u'A' + n % 26)) + u".txt").Resident(kAttrData, Bytes(n + 1, 1)).Build()
                          : Bytes(1024, n % 4 ? 0xFF : 0);
    std::memcpy(f.mem.at(400 + 2 * n), r.data(), r.size());
  }
  RecordingUi ui;
  WorkerToken stopped;
  stopped.RequestStop();
  EXPECT_EQ(CollectMft(f.ctx, ui, &stopped), 0u);
  {
    WorkerToken token;
    std::size_t added = 0;
    WorkerThread thread(token, [&](WorkerToken& t) { added = RunMftCollection(f.ctx, ui, t); });
    thread.Join();
    EXPECT_EQ(added, 32u);
    EXPECT_FALSE(token.Running());
    const WorkerProgress progress = token.Progress();
    EXPECT_EQ(progress.items, 32u);
    EXPECT_EQ(progress.done, 64u);
    EXPECT_EQ(progress.total, 64u);
    EXPECT_EQ(ToUtf8(token.Status()), "Sector 400");
  }
  ASSERT_EQ(f.lists.lost.size(), 32u);
  const ScanEntry first = f.lists.lost.at(0);
  EXPECT_EQ(+first.recordNumber, 1u);
  EXPECT_EQ(+first.RecordSector(), 402u);  // the sector of record 1
  EXPECT_EQ(+first.rating, rating::kInUse);
  EXPECT_EQ(+f.lists.lost.at(1).rating, rating::kIntact);  // record 3: not in use, resident
  EXPECT_FALSE(ui.progress.empty());
  ASSERT_FALSE(ui.statuses.empty());
  EXPECT_EQ(ui.statuses[0], "Sector 400");

  // Cancel also stops a running scan; metadata ignored: nothing is collected.
  f.mem.scan.token.SetRunning(true);
  WorkerToken cancelled;
  CancelMftCollection(cancelled, f.mem.scan);
  EXPECT_TRUE(cancelled.StopRequested());
  EXPECT_TRUE(f.mem.scan.stopRequested());
  WorkerToken explored;
  ExploreNow(explored);
  EXPECT_TRUE(explored.StopRequested());
  f.volume.ignoreMetadata = true;
  WorkerToken ignored;
  EXPECT_EQ(RunMftCollection(f.ctx, ui, ignored), 0u);
}

// The pause comes from the worker's own progress call: wait for the park it leads to.
bool EventuallyParked(const WorkerToken& token) {
  for (int i = 0; i < 10000 && !token.Parked(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return token.Parked();
}

// The dialog pauses the collection between blocks and stops it there: the
// worker parks, keeps what it found, and ends at once on the stop.
TEST(NtfsCollection, PausedBetweenBlocksAndStoppedEarlyThroughItsToken) {
  NtfsFixture f;
  // Two runs of 32 records each: two blocks.
  f.volume.mftRuns = DecodeRuns(Bytes{0x21, 0x40, 0x90, 0x01, 0x11, 0x40, 0x40, 0x00});
  ASSERT_EQ(f.volume.mftRuns.size(), 2u);
  f.volume.mftBytes = 64 * 1024;
  f.Use(400, 128);
  for (std::uint32_t n = 0; n < 64; ++n) {
    const Bytes r = Record(n, true).StandardInformation().Name(u"g" + ToUtf16(std::to_string(n)) + u".txt").Resident(kAttrData, Bytes(8, 1)).Build();
    std::memcpy(f.mem.at(400 + 2 * n), r.data(), r.size());
  }
  struct PausingUi : RecordingUi {
    WorkerToken* token = nullptr;
    void Progress(std::uint64_t done, std::uint64_t total) override {
      RecordingUi::Progress(done, total);
      if (done < total) token->Pause();  // the window's pause after the first block
    }
  } ui;
  WorkerToken token;
  ui.token = &token;
  std::size_t added = 0;
  WorkerThread thread(token, [&](WorkerToken& t) { added = RunMftCollection(f.ctx, ui, t); });
  ASSERT_TRUE(EventuallyParked(token));
  EXPECT_TRUE(token.Running());
  EXPECT_EQ(token.Progress().done, 32u);
  EXPECT_EQ(f.lists.lost.size(), 32u);
  token.RequestStop();
  thread.Join();
  EXPECT_EQ(added, 32u) << "stopped before the second block";
  EXPECT_FALSE(token.Parked());
  EXPECT_EQ(f.lists.lost.size(), 32u);

  // Paused the same way and resumed: the rest is collected.
  NtfsFixture g;
  g.volume.mftRuns = f.volume.mftRuns;
  g.volume.mftBytes = f.volume.mftBytes;
  g.Use(400, 128);
  std::memcpy(g.mem.at(400), f.mem.at(400), 128 * 512);
  WorkerToken again;
  ui.token = &again;
  WorkerThread second(again, [&](WorkerToken& t) { added = RunMftCollection(g.ctx, ui, t); });
  ASSERT_TRUE(EventuallyParked(again));
  again.Resume();
  second.Join();
  EXPECT_EQ(added, 64u);
}

// ------------------------------------------------------ listing and filter

TEST(NtfsListing, FoldersByParentReferenceWithTheirParentLinks) {
  NtfsFixture f;
  auto add = [&](Bytes r) {
    ParsedRecord p;
    ASSERT_TRUE(ParseFileRecord(f.ctx, r, 10, p));
    f.lists.lost.Add(p.entry, &p.name);
  };
  add(Record(64, true, true).StandardInformation().Name(u"Docs", 5, 0, kNtfsDirectory).Resident(kAttrIndexRoot, Bytes(32, 0)).Build());
  add(Record(65).StandardInformation().Name(u"a.txt", 64).Resident(kAttrData, Bytes(10, 1)).Build());
  add(Record(66, false).StandardInformation().Name(u"b.txt", 64).Resident(kAttrData, Bytes(10, 1)).Build());
  add(Record(67).StandardInformation().Name(u"$Secret", 5).Resident(kAttrData, Bytes(10, 1)).Build());
  // An orphan: its folder (record 90) is not in the list.
  add(Record(68, true, true).StandardInformation().Name(u"Orphan", 90, 0, kNtfsDirectory).Resident(kAttrIndexRoot, Bytes(32, 0)).Build());

  const auto root = ListNtfsFolder(f.ctx, kNtfsRootRecord);
  ASSERT_EQ(root.size(), 2u);  // no ".." at the root
  EXPECT_EQ(root[0].name, u"Docs");
  const auto docs = ListNtfsFolder(f.ctx, 64);
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_TRUE(docs[0].dotEntry);
  EXPECT_EQ(+docs[0].entry.recordNumber, kNtfsRootRecord);
  EXPECT_EQ(docs[2].name, u"b.txt");
  const auto orphan = ListNtfsFolder(f.ctx, 68);
  ASSERT_EQ(orphan.size(), 1u);
  EXPECT_EQ(orphan[0].entry.Kind(), EntryKind::VirtualParentLink);
  EXPECT_EQ(+orphan[0].entry.recordNumber, kLostFilesParentRecord);

  // "Lost files" holds every entry whatever its parent, after its ".." item.
  const auto lost = ListNtfsFolder(f.ctx, VirtualHandle(kLostFilesMarker));
  ASSERT_EQ(lost.size(), 6u);
  EXPECT_TRUE(lost[0].dotEntry);

  // The filter: deleted only, without '$' names.
  DisplayFilter deleted;
  deleted.flags = show::kDeleted | show::kFiles | show::kFolders | show::kOverwritten;
  const auto shown = ListNtfsFolder(f.ctx, 64, deleted);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].name, u"b.txt");
  DisplayFilter existing;
  existing.flags = show::kExisting | show::kFiles | show::kFolders;
  EXPECT_EQ(ListNtfsFolder(f.ctx, kNtfsRootRecord, existing).size(), 1u);
  existing.flags |= show::kDollarNames;
  EXPECT_EQ(ListNtfsFolder(f.ctx, kNtfsRootRecord, existing).size(), 2u);
}

TEST(NtfsFilter, CompressedEncryptedAndOverwrittenEntriesNeedTheirFlags) {
  ScanEntry e = MakeScanEntry();
  e.rating = rating::kInUse;
  e.SetNtfsFlags(kNtfsCompressed);
  DisplayFilter filter;
  filter.flags = show::kExisting | show::kFiles;
  EXPECT_FALSE(PassesNtfsFilter(e, u"a.txt", false, filter));
  filter.flags |= show::kCompressed;
  EXPECT_TRUE(PassesNtfsFilter(e, u"a.txt", false, filter));
  e.SetNtfsFlags(kNtfsEncrypted);
  EXPECT_FALSE(PassesNtfsFilter(e, u"a.txt", false, filter));
  // Partly reused: deleted and overwritten flags both needed; an overwritten
  // encrypted entry does not need the encrypted flag.
  e.rating = 40;
  e.SetKind(EntryKind::Overwritten);
  filter.flags = show::kDeleted | show::kFiles;
  EXPECT_FALSE(PassesNtfsFilter(e, u"a.txt", false, filter));
  filter.flags |= show::kOverwritten;
  EXPECT_TRUE(PassesNtfsFilter(e, u"a.txt", false, filter));
  // Masks apply to files, generated names are exempt from the '$' rule.
  filter.flags |= show::kMasks;
  filter.masks = DisplayFilter::SplitMasks(u"*.jpg");
  EXPECT_FALSE(PassesNtfsFilter(e, u"a.txt", false, filter));
  ScanEntry generated = e;
  generated.name = kGeneratedName;
  EXPECT_TRUE(PassesNtfsFilter(generated, u"$x.jpg", false, filter));
  EXPECT_FALSE(PassesNtfsFilter(e, u"$x.jpg", false, filter));
}

TEST(NtfsBootCopy, ABackupBootSectorGivesTheVolumeStart) {
  MemDevice mem(Image(256 * 512, 0));
  WriteNtfsBoot(mem.at(200), 150, 1);
  Bytes boot;
  std::uint64_t start = 0;
  ASSERT_TRUE(CheckNtfsBootCopy(mem.device, 200, boot, start));
  EXPECT_EQ(start, 50u);
  // A primary boot sector is followed by its loader.
  const std::u16string loader = u"BOOTMGR";
  for (std::size_t i = 0; i < loader.size(); ++i) PutLe16(mem.at(201) + 40 + 2 * i, loader[i]);
  EXPECT_FALSE(CheckNtfsBootCopy(mem.device, 200, boot, start));
  WriteNtfsBoot(mem.at(100), 150, 1);  // a total beyond the sector itself
  EXPECT_FALSE(CheckNtfsBootCopy(mem.device, 100, boot, start));
  PutLe16(mem.at(200) + 11, 4096);
  EXPECT_FALSE(CheckNtfsBootCopy(mem.device, 200, boot, start));
}

}  // namespace
}  // namespace kestrova
