#include "scan/allocation_map.h"
#include "scan/dyn_list.h"
#include "scan/entry_ops.h"
#include "scan/result_lists.h"
#include "scan/virtual_folders.h"
#include "common/number_text.h"
#include "common/text.h"
#include "resources/strings.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kestrova {
namespace {

const std::uint8_t* Raw(const ScanEntry& e) { return reinterpret_cast<const std::uint8_t*>(&e); }

TEST(ScanEntryRecord, MultiMeaningFieldsLandAtTheirOffsets) {
  ScanEntry e = MakeScanEntry();
  e.SetFirstLcn(0x0000001122334455ull);
  EXPECT_EQ(Raw(e)[28], 0x55);
  EXPECT_EQ(Raw(e)[32], 0x11) << "the high half starts at the deleted-mark byte";
  EXPECT_EQ(e.FirstLcn(), 0x0000001122334455ull);
  e.SetParentRecord(0x0000ABCD12345678ull);
  EXPECT_EQ(Raw(e)[60], 0x78);
  EXPECT_EQ(Raw(e)[64], 0xCD);
  EXPECT_EQ(e.ParentRecord(), 0x0000ABCD12345678ull);
  e.SetRaw(42, 0x0102);
  EXPECT_EQ(Raw(e)[37], 42);
  EXPECT_EQ(Raw(e)[41], 0x02);
  EXPECT_EQ(Raw(e)[42], 0x01);
  e.SetFirstCluster(0x00020001);
  EXPECT_EQ(Raw(e)[20] | Raw(e)[21] << 8, 1) << "low 16 bits at 20";
  EXPECT_EQ(Raw(e)[22] | Raw(e)[23] << 8, 2) << "high 16 bits at 22";
  DeletedEntryNote note{0x0003, 0x0001, 7, 64, 2};
  EXPECT_EQ(note.FoundCluster(), 0x00010003u);
}

TEST(DynListGrowth, GrowsBeforeTheCopyAtTheSpareBoundary) {
  DynList list(9, 1000);
  ASSERT_TRUE(list.Create());
  EXPECT_EQ(list.capacity(), 1000u);
  std::vector<std::uint8_t> bytes(2000, 0xAB);
  // used + length + 69 = 999: still below the capacity.
  ASSERT_TRUE(list.AddBin(bytes.data(), 930));
  EXPECT_EQ(list.capacity(), 1000u);
  // used + length + 69 = 1000: not below, so the list grows by twice the step first.
  ASSERT_TRUE(list.AddBin(bytes.data(), 1));
  EXPECT_EQ(list.capacity(), 3000u);
  EXPECT_EQ(list.used(), 931u);
  EXPECT_EQ(list.lastItem(), 930u);
  // An append larger than one growth step still fits.
  ASSERT_TRUE(list.AddBin(bytes.data(), 2000));
  std::vector<std::uint8_t> big(9000, 1);
  ASSERT_TRUE(list.AddBin(big.data(), big.size()));
  EXPECT_GT(list.capacity(), list.used() + kDynListSpare);
  EXPECT_EQ(list.AddBin(nullptr, 5), nullptr);
  EXPECT_EQ(list.used(), 931u + 2000u + 9000u) << "a null source appends nothing";
}

TEST(DynListGrowth, StringsAndStreamsGrowByWholeSteps) {
  DynList list(1, 16);
  ASSERT_TRUE(list.Create());
  ASSERT_TRUE(list.AddU16(u"name.txt"));
  EXPECT_EQ(list.used(), 18u);
  EXPECT_EQ(list.capacity(), 16u + 32u) << "grows by (length / step + 1) steps";
  ASSERT_TRUE(list.AddString("abc"));
  EXPECT_EQ(list.used(), 22u);
  std::istringstream in(std::string(40, 'x'));
  ASSERT_TRUE(list.AddFromStream(in, 40));
  EXPECT_EQ(list.used(), 62u);
  EXPECT_EQ(list.capacity(), 48u + 48u);
  std::istringstream shortIn("xy");
  EXPECT_FALSE(list.AddFromStream(shortIn, 10));
  EXPECT_EQ(list.used(), 62u);
}

TEST(DynListGrowth, AListThatCannotGrowReportsAndReturnsNothing) {
  test::RecordingUi ui;
  DynList list(2, 1000, &ui, 2000);
  ASSERT_TRUE(list.Create());
  std::vector<std::uint8_t> bytes(1000, 0);
  EXPECT_EQ(list.AddBin(bytes.data(), 950), nullptr);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, ToUtf8(Text(StringId::MemoryGrow)));
  EXPECT_EQ(ui.boxes[0].caption, "Kestrova");
  EXPECT_EQ(list.used(), 0u);
  DynList tooBig(3, 5000, &ui, 2000);
  EXPECT_FALSE(tooBig.Create());
  EXPECT_EQ(ui.boxes.back().text, ToUtf8(Text(StringId::MemoryFresh)));
}

TEST(AllocationMapTest, NibblesAreOredAndAbsentReadsZero) {
  AllocationMap map;
  EXPECT_EQ(map.Get(5), 0) << "no map";
  map.Mark(5, 1);
  ASSERT_TRUE(map.Create(9));
  EXPECT_EQ(map.bytes().size(), 5u);
  map.Mark(2, cluster_mark::kAllocated);
  map.Mark(3, cluster_mark::kFoundStart);
  map.Mark(3, cluster_mark::kTextStart);
  EXPECT_EQ(map.bytes()[1], 0x71) << "even cluster low nibble, odd high, ORed";
  EXPECT_EQ(map.Get(3), 7);
  map.Mark(100, 1);  // beyond the map: ignored
  EXPECT_EQ(map.Get(100), 0);
  std::vector<std::uint8_t> other(6, 0xFF);
  EXPECT_FALSE(map.Load(other)) << "another volume's map is refused";
  other.resize(5);
  EXPECT_TRUE(map.Load(other));
  EXPECT_EQ(map.Get(9), 0x0F);
}

TEST(ResultListsTest, NamesByHandleAndResetEmptiesEverything) {
  ResultLists lists;
  ASSERT_TRUE(lists.Reset());
  EXPECT_EQ(lists.lost.records.capacity(), kLostListStep);
  EXPECT_EQ(lists.rebuild.records.capacity(), kRebuildListStep);
  EXPECT_EQ(lists.deleted.capacity(), kDeletedListStep);
  ScanEntry raw = MakeScanEntry();
  raw.name = kGeneratedName;
  raw.SetKind(EntryKind::Raw);
  ASSERT_TRUE(lists.raw.Add(raw));
  const std::u16string name = u"report.pdf";
  const auto second = lists.raw.Add(MakeScanEntry(), &name);
  ASSERT_TRUE(second);
  EXPECT_EQ(+lists.raw.at(0).name, kGeneratedName);
  EXPECT_EQ(lists.raw.NameOf(lists.raw.at(0)), nullptr) << "a generated name is not stored";
  EXPECT_EQ(*lists.raw.NameOf(lists.raw.at(*second)), name);
  EXPECT_EQ(lists.raw.names.size(), 1u);

  ASSERT_TRUE(lists.AddNote({5, 0, 100, 32, 2}));
  ASSERT_TRUE(lists.AddNote({6, 0, 100, 32, 4}));
  const auto note = lists.FindNote(100, 32);
  ASSERT_TRUE(note);
  EXPECT_EQ(note->FoundCluster(), 5u) << "the first match wins";
  EXPECT_FALSE(lists.FindNote(100, 64));

  ASSERT_TRUE(lists.Reset());
  EXPECT_EQ(lists.raw.size(), 0u);
  EXPECT_EQ(lists.raw.names.size(), 0u);
  EXPECT_EQ(lists.deleted.used(), 0u);
}

ScanEntry Entry(std::uint8_t kind, std::uint8_t rating, std::uint32_t flags = 0) {
  ScanEntry e = MakeScanEntry();
  e.kind = kind;
  e.rating = rating;
  e.SetNtfsFlags(flags);
  e.clusterInUse = 1;
  return e;
}

TEST(Colours, FollowTheCategoryOrder) {
  using C = ColourCategory;
  EXPECT_EQ(CategoryOf(Entry(0, 200), FsType::Ntfs, u"$Bitmap"), C::Special);
  EXPECT_EQ(CategoryOf(Entry(1, 200), FsType::Ntfs, u"$000000001.jpg"), C::Existing) << "RAW names are never special";
  EXPECT_EQ(CategoryOf(Entry(0, 99), FsType::Ntfs, u"$Bad"), C::Overwritten);
  EXPECT_EQ(CategoryOf(Entry(6, 0), FsType::Ntfs, u".."), C::Existing);
  EXPECT_EQ(CategoryOf(Entry(0, 100, kNtfsEncrypted | kNtfsCompressed), FsType::Ntfs, u"a"), C::Encrypted);
  EXPECT_EQ(CategoryOf(Entry(0, 200, kNtfsCompressed), FsType::Ntfs, u"a"), C::Compressed);
  EXPECT_EQ(CategoryOf(Entry(0, 110), FsType::Ntfs, u"a"), C::Deleted);
  EXPECT_EQ(CategoryOf(Entry(0, 200), FsType::Ntfs, u"a"), C::Existing);
  EXPECT_EQ(CategoryOf(Entry(3, 200), FsType::Ntfs, u"$Special"), C::NotDetected);
  EXPECT_EQ(CategoryOf(Entry(3, 50), FsType::Ntfs, u"a"), C::Overwritten) << "a low rating outranks kind 3";

  ScanEntry fat = Entry(0, 110);
  EXPECT_EQ(CategoryOf(fat, FsType::Fat32, u"a"), C::Existing);
  fat.clusterInUse = 0;
  EXPECT_EQ(CategoryOf(fat, FsType::Fat32, u"a"), C::Deleted) << "not marked deleted, but its cluster is free";
  fat.SetKind(EntryKind::Overwritten);
  EXPECT_EQ(CategoryOf(fat, FsType::Fat16, u"a"), C::Overwritten);
  fat.SetKind(EntryKind::NotDetected);
  EXPECT_EQ(CategoryOf(fat, FsType::Exfat, u"a"), C::NotDetected);
  EXPECT_EQ(CategoryOf(MakeVirtualFolderEntry(kLostFilesMarker), FsType::Ntfs, u"Lost files"), C::VirtualFolder);
  EXPECT_EQ(CategoryOf(Entry(1, rating::kRawClosed), FsType::Fat32, u"x"), C::Deleted);
}

TEST(Status, CountsDeletedDetectedAndOverwritten) {
  EXPECT_TRUE(StatusOf(Entry(0, 100), FsType::Ntfs).detected);
  EXPECT_TRUE(StatusOf(Entry(0, 60), FsType::Ntfs).overwritten);
  EXPECT_FALSE(StatusOf(Entry(0, 200), FsType::Ntfs).deleted);
  EXPECT_FALSE(StatusOf(Entry(0, 110), FsType::Ntfs).deleted);
  ScanEntry fat = Entry(0, 110);
  EXPECT_FALSE(StatusOf(fat, FsType::Fat32).deleted);
  fat.SetDeletedMark(1);
  EXPECT_TRUE(StatusOf(fat, FsType::Fat32).detected);
  fat.SetKind(EntryKind::Overwritten);
  const EntryStatus s = StatusOf(fat, FsType::Fat32);
  EXPECT_TRUE(s.deleted && s.overwritten && !s.detected);
}

TEST(Texts, GeneratedNamesDatesAndSizes) {
  SignatureExtensions exts;
  exts.Set({u".bin", u".jpg"});
  ScanEntry raw = MakeScanEntry();
  raw.name = kGeneratedName;
  raw.SetRaw(42, 1);
  EXPECT_EQ(DisplayName(raw, nullptr, exts), u"000000042.jpg");
  raw.SetRaw(7, 99);
  EXPECT_EQ(DisplayName(raw, nullptr, exts), u"000000007");
  const std::u16string stored = u"photo.jpg";
  EXPECT_EQ(DisplayName(MakeScanEntry(), &stored, exts), stored);

  ScanEntry e = MakeScanEntry();
  e.SetFileTime(133643016050000000ull);  // 2024-07-01 10:00:05 UTC
  EXPECT_EQ(PropertiesDate(e, FsType::Ntfs), u"1 July 2024, 10:00:05");
  e.SetExfatTime((44u << 25) | (7u << 21) | (2u << 16));
  EXPECT_EQ(PropertiesDate(e, FsType::Exfat), u"2024 July 02");
  e.SetFatDate(static_cast<std::uint16_t>((44 << 9) | (12 << 5) | 31));
  EXPECT_EQ(PropertiesDate(e, FsType::Fat32), u"2024 December 31");
  e.SetFatDate(static_cast<std::uint16_t>((44 << 9) | (13 << 5) | 1));
  EXPECT_EQ(PropertiesDate(e, FsType::Fat16), u"N/A") << "month 13 from a damaged entry";
  e.SetKind(EntryKind::Raw);
  EXPECT_EQ(PropertiesDate(e, FsType::Ntfs), u"N/A");
  EXPECT_EQ(PropertiesDate(MakeScanEntry(), FsType::Ntfs), u"N/A");

  EXPECT_EQ(DisplaySize(512), u"512 bytes (bytes: 512)");
  EXPECT_EQ(DisplaySize(1536), ToUtf16("1 KB (bytes: " + GroupNumber(1536) + ")"));
  EXPECT_EQ(DisplaySize(5ull << 30), ToUtf16("5 GB (bytes: " + GroupNumber(5ull << 30) + ")"));
}

TEST(VirtualFolders, NamesPathsAndParentRecords) {
  EXPECT_EQ(VirtualFolderPath('$', kLostFilesMarker), u"$:\\Lost files\\");
  EXPECT_EQ(VirtualFolderPath('E', kRebuildMarker), u"E:\\Rebuild\\");
  EXPECT_EQ(VirtualFolderPath('$', kRawTypeMarker, u"JPG"), u"$:\\RAW files\\JPG\\");
  const ScanEntry folder = MakeVirtualFolderEntry(kRawFilesMarker);
  EXPECT_TRUE(IsFolder(folder, FsType::Fat32));
  EXPECT_EQ(FolderDescription(folder), u"Virtual folder of revovered files via header detect");
  EXPECT_EQ(FolderDescription(MakeScanEntry()), u"File folder");
  EXPECT_EQ(+MakeVirtualParentEntry(kLostFilesMarker).recordNumber, kLostFilesParentRecord);
  EXPECT_EQ(+MakeVirtualParentEntry(kRebuildMarker).recordNumber, kRebuildParentRecord);
  EXPECT_EQ(MakeVirtualParentEntry(kRebuildMarker).Kind(), EntryKind::VirtualParentLink);
  ScanEntry ntfsDir = MakeScanEntry();
  ntfsDir.SetNtfsFlags(kNtfsDirectory);
  EXPECT_TRUE(IsFolder(ntfsDir, FsType::Ntfs));
  EXPECT_FALSE(IsFolder(ntfsDir, FsType::Fat32));
}

}  // namespace
}  // namespace kestrova
