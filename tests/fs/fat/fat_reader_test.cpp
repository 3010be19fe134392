#include "fs/fat/fat_dir.h"
#include "fs/fat/fat_find.h"
#include "fs/fat/fat_builder.h"
#include "common/text.h"

#include <set>

#include <gtest/gtest.h>

namespace kestrova {
namespace {

using test::FatBuilder;

const FoundEntry* Named(const std::vector<FoundEntry>& list, std::u16string_view name) {
  for (const FoundEntry& e : list)
    if (e.name == name) return &e;
  return nullptr;
}

TEST(FatTable, Fat12PacksOddAndEvenEntriesAndReadsTheSecondCopy) {
  FatBuilder b(FsType::Fat12, 2880, 1, 9);
  b.Chain({2, 3, 5});
  b.SetFat(4, 0);  // free between
  b.SetFat(7, 0x123, 1);  // first copy only: the second copy (0) is the one read
  FatContext& ctx = b.Mount();
  ASSERT_TRUE(b.mounted());
  const FatVolume& v = ctx.volume;
  EXPECT_EQ(v.type, FsType::Fat12);
  EXPECT_EQ(NextCluster(v, 2), 3u) << "even cluster: low 12 bits";
  EXPECT_EQ(NextCluster(v, 3), 5u) << "odd cluster: high 12 bits";
  EXPECT_EQ(NextCluster(v, 5), kFatEndOfChain);
  EXPECT_TRUE(IsClusterFree(v, 4));
  EXPECT_FALSE(IsClusterFree(v, 3));
  EXPECT_TRUE(IsClusterFree(v, 7)) << "the first copy's value is not used";
  EXPECT_FALSE(IsClusterFree(v, v.lastCluster + 1)) << "beyond the highest cluster";
  EXPECT_EQ(NextCluster(v, v.lastCluster + 1), kFatEndOfChain);
  EXPECT_EQ(ChainBytes(v, 2), 3u * 512 + 512);
  EXPECT_EQ(ContiguousRun(v, 2, 10 * 512), 2u);
  EXPECT_EQ(ContiguousRun(v, 2, 512), 1u);
}

TEST(FatTable, ChainsEndAtLoopsAndFreeEntriesAndReadAcrossFragments) {
  FatBuilder b(FsType::Fat32, 8192);
  b.Chain({10, 11, 12, 20, 21});
  b.SetFat(30, 31);
  b.SetFat(31, 30);  // a loop
  b.SetFat(40, 41);  // runs into a free entry
  for (std::uint32_t c : {10u, 11u, 12u, 20u, 21u}) std::memset(b.Cluster(c), static_cast<int>(c), 512);
  FatContext& ctx = b.Mount();
  const FatVolume& v = ctx.volume;
  EXPECT_EQ(ChainBytes(v, 10), 5u * 512 + 512);
  EXPECT_EQ(ChainBytes(v, 30), 2u * 512 + 512) << "a loop ends the walk";
  EXPECT_EQ(ChainBytes(v, 40), 0u) << "a chain reaching a free entry";
  std::vector<std::uint8_t> out(5 * 512 - 100);
  const auto read = ReadFatChain(ctx.device, v, 10, out, out.size());
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, out.size());
  EXPECT_EQ(out[0], 10);
  EXPECT_EQ(out[3 * 512], 20) << "the fragment after the gap";
  EXPECT_EQ(out[4 * 512 + 200], 21) << "the partial last cluster";
  std::vector<std::uint8_t> tooLong(7 * 512);
  EXPECT_FALSE(ReadFatChain(ctx.device, v, 10, tooLong, tooLong.size())) << "the chain is shorter than asked";
  EXPECT_EQ(v.freeClusters + 9, std::uint64_t{v.lastCluster} - 1) << "root, 5 chain, 2 loop, 1 dangling";
}

TEST(FatListing, LongNamesCaseGarbageAndDates) {
  FatBuilder b(FsType::Fat16, 8192, 1, 32);
  b.Entry(1, 0, "CRAFTED    ", 0x08, 0, 0);
  b.LongName(1, 3, u"A long file name.txt");
  b.Entry(1, 3, "ALONGF~1TXT", 0x20, 2, 100);
  b.Chain({2});
  b.Entry(1, 4, "README  TXT", 0x20, 3, 10)[12] = 0x18;
  b.Chain({3});
  b.Entry(1, 5, "NODATE  TXT", 0x20, 4, 10, 0);  // cluster with a zero date: skipped
  b.Chain({4});
  b.Entry(1, 6, "EMPTY   TXT", 0x20, 0, 0, 0);  // no date, no cluster: also not accepted alone
  std::uint8_t* garbage = b.Entry(1, 7, "BAD     T  ", 0x20, 5, 10);
  garbage[9] = 0x01;
  b.LongName(1, 10, u"gone long name.pdf", true);
  b.Entry(1, 10, "GONELO~1PDF", 0x20, 50, 1000)[0] = 0xE5;
  b.Entry(1, 11, "LOWER   TXT", 0x20, 60, 10)[0] = 0xE5;
  b.Dir(1)[11 * 32 + 12] = 0x18;
  FatContext& ctx = b.Mount();
  const auto all = ListFolder(ctx, kFixedRootHandle);
  ASSERT_TRUE(Named(all, u"CRAFTED"));
  EXPECT_EQ(Named(all, u"CRAFTED")->entry.attributes, 0x08);
  const FoundEntry* lfn = Named(all, u"A long file name.txt");
  ASSERT_TRUE(lfn);
  EXPECT_EQ(+lfn->entry.size, 100u);
  EXPECT_EQ(+lfn->entry.DirEntryOffset(), 3u * 32) << "the short entry's position";
  EXPECT_TRUE(Named(all, u"readme.txt")) << "0x18: lower case";
  EXPECT_FALSE(Named(all, u"NODATE.TXT"));
  EXPECT_FALSE(Named(all, u"EMPTY.TXT"));
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const FoundEntry& e) { return e.name.find(u"BAD") == 0; }), 0)
      << "a garbage extension gives cluster 0xFFFFFFFF, which is skipped";
  const FoundEntry* gone = Named(all, u"gone long name.pdf");
  ASSERT_TRUE(gone) << "a deleted long name is assembled";
  EXPECT_EQ(+gone->entry.DeletedMark(), 1);
  EXPECT_TRUE(Named(all, u"?ower.txt")) << "deleted short name: '?' and the case flags";
  EXPECT_EQ(all.size(), 5u);
}

TEST(FatListing, DeletedEntriesAreVerifiedByContentAndFolderStart) {
  FatBuilder b(FsType::Fat16, 8192, 1, 32);
  // A deleted PDF whose cluster still starts with "%PDF" and ends with "EOF\n".
  b.Entry(1, 0, "REPORT  PDF", 0x20, 10, 700)[0] = 0xE5;
  std::memcpy(b.Cluster(10), "%PDF-1.4", 8);
  std::memcpy(b.Cluster(11) + 700 - 512 - 4, "EOF\n", 4);
  // One whose cluster was reused: rejected.
  b.Entry(1, 1, "OTHER   PDF", 0x20, 20, 700)[0] = 0xE5;
  std::memcpy(b.Cluster(20), "PK\3\4", 4);
  // No check for .html; a .s3m is never confirmed.
  b.Entry(1, 2, "PAGE    HTM", 0x20, 30, 10)[0] = 0xE5;
  b.LongName(1, 4, u"page.html", true);
  b.Entry(1, 4, "PAGE~1  HTM", 0x20, 31, 10)[0] = 0xE5;
  b.Entry(1, 5, "TUNE    S3M", 0x20, 32, 10)[0] = 0xE5;
  // Deleted folders: one still starting with its dot entries, one overwritten.
  b.Entry(1, 6, "KEPTDIR    ", 0x10, 40, 0)[0] = 0xE5;
  b.DotEntries(40, 0);
  b.Entry(1, 7, "LOSTDIR    ", 0x10, 41, 0)[0] = 0xE5;
  FatContext& ctx = b.Mount();
  const auto all = ListFolder(ctx, kFixedRootHandle);
  const FoundEntry* pdf = Named(all, u"?EPORT.PDF");
  ASSERT_TRUE(pdf);
  EXPECT_EQ(pdf->entry.Kind(), EntryKind::Ordinary);
  EXPECT_EQ(+pdf->entry.clusterInUse, 0);
  EXPECT_EQ(ctx.volume.map.Get(11), 2) << "the tail matched: the contiguous range is marked";
  EXPECT_EQ(+pdf->entry.rating, 100);
  EXPECT_EQ(Named(all, u"?THER.PDF")->entry.Kind(), EntryKind::Overwritten);
  EXPECT_EQ(Named(all, u"?AGE.HTM")->entry.Kind(), EntryKind::Overwritten) << "HTM has a check; an empty cluster fails it";
  EXPECT_EQ(Named(all, u"page.html")->entry.Kind(), EntryKind::NotDetected) << "only HTM is in the table";
  EXPECT_EQ(Named(all, u"?UNE.S3M")->entry.Kind(), EntryKind::Overwritten) << "S3M never accepts";
  EXPECT_EQ(Named(all, u"?EPTDIR")->entry.Kind(), EntryKind::Ordinary);
  EXPECT_EQ(+Named(all, u"?EPTDIR")->entry.rating, rating::kFatFolder);
  EXPECT_EQ(Named(all, u"?OSTDIR")->entry.Kind(), EntryKind::Overwritten);
}

TEST(FatListing, DeletedFolderIsProbedAndItsLiveFilesCountAsDeleted) {
  FatBuilder b(FsType::Fat16, 8192, 1, 32);
  b.Entry(1, 0, "OLD        ", 0x10, 100, 0)[0] = 0xE5;  // its chain is gone (FAT entry 0)
  b.DotEntries(100, 0);
  // Entries spread over three clusters, still live inside the deleted folder.
  for (std::size_t i = 2; i < 16 + 16 + 3; ++i) {
    const std::uint32_t c = static_cast<std::uint32_t>(200 + i);
    b.Entry(100, i, "F" + std::string(7 - std::to_string(i).size(), '_') + std::to_string(i) + "BIN", 0x20, c, 10);
    b.Chain({c});
  }
  // A folder whose first cluster is allocated but whose entries point at itself.
  b.Entry(1, 1, "SELF       ", 0x10, 300, 0);
  b.Chain({300});
  b.DotEntries(300, 0);
  b.Entry(300, 2, "LOOP       ", 0x10, 300, 0);
  FatContext& ctx = b.Mount();
  const auto inner = ListFolder(ctx, 100);
  ASSERT_EQ(inner.size(), 2u + 33u) << "probing reads on until the first invalid entry";
  const FoundEntry* f = Named(inner, u"F_____10.BIN");
  ASSERT_TRUE(f);
  EXPECT_EQ(+f->entry.DeletedMark(), 1) << "inside a deleted folder";
  EXPECT_EQ(f->entry.Kind(), EntryKind::Overwritten);
  EXPECT_EQ(Named(inner, u"..")->entry.Kind(), EntryKind::ParentLink);
  EXPECT_EQ(Named(ListFolder(ctx, 300), u"LOOP")->entry.Kind(), EntryKind::Overwritten) << "a folder that is itself";
}

TEST(FatListing, Fat32HighHalfSearchFindsTheLostHalfAndRemembersIt) {
  FatBuilder b(FsType::Fat32, 70000, 1, 600);
  ASSERT_TRUE(b.Mount().volume.lastCluster > 0x10005);
  // Stored cluster 0x00005 is in use; the real one is 0x10005.
  b.Chain({5});
  b.Entry(2, 0, "PHOTO   JPG", 0x20, 0x00005, 3000)[0] = 0xE5;
  std::memcpy(b.Cluster(0x10005), "\xFF\xD8\xFF\xE0", 4);
  // No candidate anywhere holds a PNG header.
  b.Entry(2, 1, "PIC     PNG", 0x20, 0x00006, 3000)[0] = 0xE5;
  // A deleted folder: its "." entry confirms the candidate.
  b.Entry(2, 2, "DIR        ", 0x10, 0x00007, 0)[0] = 0xE5;
  b.Chain({7});
  b.DotEntries(0x10007, 2);
  FatContext& ctx = b.Mount();
  auto all = ListFolder(ctx, 2);
  EXPECT_EQ(+Named(all, u"?HOTO.JPG")->entry.FirstCluster(), 0x10005u);
  EXPECT_EQ(Named(all, u"?HOTO.JPG")->entry.Kind(), EntryKind::Ordinary);
  EXPECT_EQ(Named(all, u"?IC.PNG")->entry.Kind(), EntryKind::Overwritten);
  EXPECT_EQ(+Named(all, u"?IR")->entry.FirstCluster(), 0x10007u);
  EXPECT_EQ(Named(all, u"?IR")->entry.Kind(), EntryKind::FolderVerified);
  EXPECT_EQ(ctx.lists->deleted.count<DeletedEntryNote>(), 3u);
  // The notes answer the second listing, even with the data gone.
  std::memset(b.Cluster(0x10005), 0, 4);
  all = ListFolder(ctx, 2);
  EXPECT_EQ(+Named(all, u"?HOTO.JPG")->entry.FirstCluster(), 0x10005u);
  EXPECT_EQ(ctx.lists->deleted.count<DeletedEntryNote>(), 3u);
  // Scan mode does not search for files.
  FoundEntry first;
  auto find = FindFirst(ctx, 2, kFindScan, {}, first);
  ASSERT_TRUE(find);
  EXPECT_EQ(+first.entry.rating, rating::kNotComputed);
}

TEST(FatLocate, ForcedFat32WhoseTableBeginsWithUsbcIsFound) {
  FatBuilder b(FsType::Fat32, 8192, 1, 63);
  std::memset(b.Sector(0), 0, 512);  // the boot sector is gone
  test::PutText(b.Sector(32), "USBC");
  test::PutText(b.Sector(32 + 63), "USBC");
  b.Entry(2, 0, "FILE    TXT", 0x20, 3, 10);
  b.mem->device.GeometryForMount().sectorsPerCluster = 1;
  FatVolume v;
  ASSERT_TRUE(LocateFat32(b.mem->device, 8192, 1, v));
  EXPECT_EQ(v.fatStart, 32u + 63u) << "the second table is read";
  EXPECT_EQ(v.dataStart, 32u + 126u);
  EXPECT_EQ(v.rootCluster, 2u);
  EXPECT_EQ(b.mem->device.fsType, FsType::Fat32);

  // Through the mount's override path.
  b.mem->device.Reset();
  b.mem->device.Attach(std::make_unique<MemoryBlockSource>(b.mem->shared), nullptr);
  b.mem->device.GeometryForMount().deviceSectors = 8192;
  b.mem->device.GeometryForMount().volumeLastSector = 8191;
  FatReader reader;
  DriveSettings settings;
  settings.overrideFs = true;
  settings.fsChoice = 1;
  settings.clusterChoice = 1;  // 512 bytes
  const MountHooks hooks = reader.Hooks(settings);
  MountRequest r;
  r.settings = settings;
  r.hooks = &hooks;
  OpenedVolume opened;
  opened.raw.bootSector.assign(512, 0);
  MountedVolume m;
  test::RecordingUi ui;
  ASSERT_TRUE(MountVolume(b.mem->device, ui, r, opened, m));
  EXPECT_TRUE(ui.boxes.empty()) << "found: no message";
  EXPECT_EQ(b.mem->device.fsType, FsType::Fat32);
  EXPECT_EQ(b.mem->device.dataStart, 158u);
}

// The estimate of the table's length runs short of what formatters write: a
// second table a few sectors (or many, for large tables) past it is found,
// while a sector inside the first table that merely begins like one is not.
TEST(FatLocate, ForcedFat32FindsTheSecondTableBeyondTheFirstCluster) {
  struct Case {
    const char* what;
    std::uint32_t spc, spf;
    std::uint32_t decoy;  // a sector of the first table that begins with 0x0FFFFFF8 (0: none)
  } cases[] = {
      {"one sector longer (mkfs.vfat, 1-sector clusters)", 1, 64, 0},
      {"twelve sectors longer", 1, 75, 0},
      {"padded to 4 sectors per cluster", 4, 20, 0},
      {"a look-alike inside the first table", 1, 66, 32 + 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // 8192 sectors: the estimate is 63 sectors with 1-sector clusters, 16 with 4.
    FatBuilder b(FsType::Fat32, 8192, static_cast<std::uint8_t>(c.spc), c.spf);
    std::memset(b.Sector(0), 0, 512);  // the boot sector is gone
    b.Entry(2, 0, "FILE    TXT", 0x20, 3, 10);
    b.Chain({3});
    if (c.decoy) test::PutLe32(b.Sector(c.decoy), 0x0FFFFFF8);
    b.mem->device.GeometryForMount().sectorsPerCluster = c.spc;
    FatVolume v;
    ASSERT_TRUE(LocateFat32(b.mem->device, 8192, c.spc, v));
    EXPECT_EQ(v.sectorsPerFat, c.spf);
    EXPECT_EQ(v.fatStart, 32u + c.spf) << "the second table is read";
    EXPECT_EQ(v.dataStart, 32u + 2 * c.spf);
    EXPECT_EQ(v.rootCluster, 2u);
    EXPECT_GE(NextCluster(v, 3), kFatChainEnd) << "the table read is the real one";
  }
}

TEST(FatPath, ResolvesFoldersAndFindsEntriesByCluster) {
  FatBuilder b(FsType::Fat32, 8192);
  b.Entry(2, 0, "DOCS       ", 0x10, 3, 0);
  b.Chain({3});
  b.DotEntries(3, 0);
  b.LongName(3, 3, u"Sub Folder");
  b.Entry(3, 3, "SUBFOL~1   ", 0x10, 4, 0);
  b.Chain({4});
  b.DotEntries(4, 3);
  FatContext& ctx = b.Mount();
  const ResolvedPath p = ResolvePath(ctx, u"$:\\", u"$:\\docs\\SUB FOLDER\\");
  EXPECT_EQ(p.result, 4);
  EXPECT_EQ(p.clusters, (std::vector<std::uint32_t>{2, 3, 4}));
  EXPECT_EQ(ResolvePath(ctx, u"$:\\", u"$:\\nothing\\").result, -10);
  EXPECT_EQ(ResolvePath(ctx, u"$:\\", u"E:\\docs\\").result, -1);
  const auto found = FindEntryByCluster(ctx, 4);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, u"Sub Folder");
  EXPECT_FALSE(FindEntryByCluster(ctx, 4, u"other"));
}

TEST(FatDirEntries, PlausibilityAndDates) {
  std::uint8_t e[32] = {};
  std::memcpy(e, "NAME    TXT", 11);
  e[11] = 0x20;
  EXPECT_TRUE(IsPlausibleEntry(e));
  e[3] = '*';
  EXPECT_FALSE(IsPlausibleEntry(e));
  e[3] = 'E';
  e[11] = 0x40;
  EXPECT_FALSE(IsPlausibleEntry(e));
  std::memset(e, 0, 32);
  e[0] = 0x41;
  e[11] = 0x0F;
  e[1] = 'a';
  EXPECT_TRUE(IsPlausibleEntry(e));
  e[0] = 0x55;  // order 21
  EXPECT_FALSE(IsPlausibleEntry(e));
  e[0] = 0xE5;
  e[26] = 1;
  EXPECT_FALSE(IsPlausibleEntry(e)) << "word 26 of a long-name part is 0";
  EXPECT_TRUE(IsValidFatDate(FatBuilder::kDate));
  EXPECT_FALSE(IsValidFatDate(0));
  EXPECT_FALSE(IsValidFatDate((44 << 9) | (13 << 5) | 1));
  EXPECT_FALSE(IsValidFatDate((44 << 9) | (3 << 5)));
}

TEST(DisplayFilterTest, FlagsDecideWhatIsShown) {
  ScanEntry existing = MakeScanEntry();
  existing.clusterInUse = 1;
  ScanEntry deleted = existing;
  deleted.SetDeletedMark(1);
  ScanEntry overwritten = deleted;
  overwritten.SetKind(EntryKind::Overwritten);
  DisplayFilter f;
  EXPECT_TRUE(PassesFilter(overwritten, u"x", false, f)) << "no filter";
  f.flags = show::kExisting | show::kFiles;
  EXPECT_TRUE(PassesFilter(existing, u"a.jpg", false, f));
  EXPECT_FALSE(PassesFilter(deleted, u"a.jpg", false, f));
  f.flags = show::kDeleted | show::kFiles;
  EXPECT_TRUE(PassesFilter(deleted, u"a.jpg", false, f));
  EXPECT_FALSE(PassesFilter(existing, u"a.jpg", false, f));
  EXPECT_FALSE(PassesFilter(overwritten, u"a.jpg", false, f)) << "overwritten needs its own flag";
  f.flags |= show::kOverwritten;
  EXPECT_TRUE(PassesFilter(overwritten, u"a.jpg", false, f));
  EXPECT_FALSE(PassesFilter(deleted, u"dir", true, f)) << "folders need 0x100";
  f.flags |= show::kMasks;
  f.masks = DisplayFilter::SplitMasks(u"*.jpg; *.png");
  EXPECT_EQ(f.masks, (std::vector<std::u16string>{u"*.jpg", u"*.png"}));
  EXPECT_FALSE(PassesFilter(deleted, u"a.txt", false, f));
  EXPECT_TRUE(PassesFilter(deleted, u"B.PNG", false, f));
  ScanEntry parent = MakeScanEntry();
  parent.SetKind(EntryKind::ParentLink);
  EXPECT_TRUE(PassesFilter(parent, u"..", true, f));
}

}  // namespace
}  // namespace kestrova

namespace kestrova {
namespace {

TEST(FatLocate, ForcedFat16TableIsFoundBehindSixReservedSectors) {
  test::MemDevice mem(test::Image(8192 * 512, 0));
  for (std::uint64_t fat : {6u, 38u}) {
    const std::uint8_t start[] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(mem.at(fat), start, sizeof start);
  }
  std::memcpy(mem.at(70), "README  TXT", 11);
  mem.device.GeometryForMount().sectorsPerCluster = 1;
  FatVolume v;
  ASSERT_TRUE(LocateFat16(mem.device, 8192, v));
  EXPECT_EQ(v.fatStart, 38u) << "the second copy";
  EXPECT_EQ(v.sectorsPerFat, 32u);
  EXPECT_EQ(v.rootDirSector, 70u);
  EXPECT_EQ(v.dataStart, 102u);
  EXPECT_EQ(v.lastCluster, (8192u - 102u) + 1u);
  EXPECT_EQ(mem.device.fsType, FsType::Fat16);
  EXPECT_EQ(mem.device.clusterBase, 100);
  test::MemDevice blank(test::Image(8192 * 512, 0));
  blank.device.GeometryForMount().sectorsPerCluster = 1;
  EXPECT_FALSE(LocateFat16(blank.device, 8192, v));
}

TEST(FatLocate, Fat32BootCopiesAreToldFromPrimaries) {
  test::FatBuilder b(FsType::Fat32, 8192);
  std::memcpy(b.Sector(6), b.Sector(0), 512);
  std::uint32_t offset = 0;
  EXPECT_FALSE(CheckFat32BootCopy(b.mem->device, 0, std::span(b.Sector(0), 512), offset)) << "a primary";
  ASSERT_TRUE(CheckFat32BootCopy(b.mem->device, 6, std::span(b.Sector(6), 512), offset));
  EXPECT_EQ(offset, 6u);
  std::memcpy(b.Sector(2), b.Sector(0), 512);
  ASSERT_TRUE(CheckFat32BootCopy(b.mem->device, 2, std::span(b.Sector(2), 512), offset));
  EXPECT_EQ(offset, 2u);
}

}  // namespace
}  // namespace kestrova

namespace kestrova::test {
namespace {

// An unreadable sector reads as zeros and must not end the listing: every
// entry in the sectors around it is still listed.
TEST(FatListing, AnUnreadableSectorHidesOnlyItsOwnEntries) {
  struct Case {
    const char* what;
    FsType type;
    std::uint8_t spc;
    std::uint32_t dir;        // 1: the fixed root
    std::uint32_t sectors;    // of the folder (a chain of whole clusters)
    std::uint32_t bad;        // the unreadable sector of the folder
  };
  const Case cases[] = {
      {"a folder, its second cluster unreadable", FsType::Fat32, 1, 100, 4, 1},
      {"a folder of 4-sector clusters, one sector inside a cluster", FsType::Fat32, 4, 100, 8, 5},
      {"the FAT32 root, its first sector", FsType::Fat32, 1, 2, 3, 0},
      {"the fixed FAT16 root", FsType::Fat16, 1, 1, 32, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FatBuilder b(c.type, 16384, c.spc);
    if (c.dir != 1) {
      std::vector<std::uint32_t> chain;
      for (std::uint32_t k = 0; k < c.sectors / c.spc; ++k) chain.push_back(c.dir + k);
      for (std::size_t k = 0; k < chain.size(); ++k) b.SetFat(chain[k], k + 1 < chain.size() ? chain[k + 1] : 0x0FFFFFFF);
    }
    // Every slot used (a free slot would end the folder): one named file per
    // sector, fillers around it.
    for (std::uint32_t s = 0; s < c.sectors; ++s) {
      b.Entry(c.dir, s * 16 + 3, "FILE" + std::to_string(100 + s) + " TXT", 0x20, 0, 0);
      for (std::uint32_t k = 0; k < 16; ++k)
        if (k != 3) b.Entry(c.dir, s * 16 + k, "X" + std::to_string(100 + s) + std::to_string(10 + k) + "  DAT", 0x20, 0, 0);
    }
    const std::uint64_t badSector = static_cast<std::uint64_t>(b.Dir(c.dir) - b.mem->at(0)) / 512 + c.bad;
    b.mem->shared->badSectors.insert(badSector);
    FatContext& ctx = b.Mount();
    std::set<std::string> names;
    for (const FoundEntry& e : ListFolder(ctx, c.dir == 1 ? 1 : c.dir, kFindVerify))
      if (!e.dotEntry) names.insert(std::string(e.name.begin(), e.name.end()));
    for (std::uint32_t s = 0; s < c.sectors; ++s) {
      const std::string name = "FILE" + std::to_string(100 + s) + ".TXT";
      EXPECT_EQ(names.count(name), s == c.bad ? 0u : 1u) << name;
    }
    // Tried once: every try of a bad sector costs a failing drive seconds.
    EXPECT_EQ(b.mem->device.errorCount.load(), 1u);
  }
}

}  // namespace
}  // namespace kestrova::test
