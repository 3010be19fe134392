#include "explore/list_columns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace kestrova {
namespace {

ScanEntry Sized(std::uint64_t size) {
  ScanEntry e = MakeScanEntry();
  e.size = size;
  return e;
}

TEST(ListColumns, SizeTakesTheLargestUnitKeepingAtLeastOne) {
  struct Case {
    std::uint64_t size;
    FsType fs;
    const char16_t* text;
  } cases[] = {
      {0, FsType::Fat32, u"0 B"},
      {1023, FsType::Fat32, u"1023 B"},
      {1024, FsType::Fat32, u"1 kB"},
      {0xFFFFF, FsType::Fat32, u"1023 kB"},
      {0x100000, FsType::Fat32, u"1 MB"},
      {0x40000000, FsType::Ntfs, u"1 GB"},
      {5ull << 40, FsType::Ntfs, u"5120 GB"},
      // FAT keeps 32 bits of the size.
      {(1ull << 32) + 10, FsType::Fat32, u"10 B"},
      {(1ull << 32) + 10, FsType::Exfat, u"4 GB"},
  };
  for (const Case& c : cases) EXPECT_EQ(ListSizeText(Sized(c.size), c.fs, false), c.text) << c.size;
  EXPECT_EQ(ListSizeText(Sized(5000), FsType::Fat32, true), u"");
}

TEST(ListColumns, TypeAndDate) {
  EXPECT_EQ(ListTypeText(u"Report 2024.pdf", false), u"PDF");
  EXPECT_EQ(ListTypeText(u"archive.tar.Gz", false), u"GZ");
  EXPECT_EQ(ListTypeText(u"noext", false), u"");
  EXPECT_EQ(ListTypeText(u"dir.ext", true), u"");

  ScanEntry fat = MakeScanEntry();
  fat.SetFatDate(static_cast<std::uint16_t>((44 << 9) | (12 << 5) | 8));  // 2024-12-08
  EXPECT_EQ(ListDateText(fat, FsType::Fat16), u"2024-12-08");
  ScanEntry exfat = MakeScanEntry();
  exfat.SetExfatTime((44u << 25) | (3u << 21) | (9u << 16) | (14u << 11) | (5u << 5));
  EXPECT_EQ(ListDateText(exfat, FsType::Exfat), u"2024-03-09 14:05");
  exfat.SetExfatTime(0);
  EXPECT_EQ(ListDateText(exfat, FsType::Exfat), u"");
  ScanEntry ntfs = MakeScanEntry();
  ntfs.SetFileTime(133485408000000000ull);  // 2024-01-01 UTC
  EXPECT_EQ(ListDateText(ntfs, FsType::Ntfs), u"2024-01-01");
  ScanEntry nav = fat;
  nav.SetKind(EntryKind::ParentLink);
  EXPECT_EQ(ListDateText(nav, FsType::Fat16), u"");
  ScanEntry raw = fat;
  raw.SetKind(EntryKind::Raw);
  EXPECT_EQ(ListDateText(raw, FsType::Fat16), u"N/A");
}

TEST(ListColumns, RatingShownAndSortKeys) {
  ScanEntry e = MakeScanEntry();
  e.rating = rating::kInUse;
  EXPECT_EQ(ShownRating(e, FsType::Fat32, false), 100);
  e.rating = rating::kRawClosed;
  EXPECT_EQ(ShownRating(e, FsType::Fat32, false), 110);
  e.rating = 40;
  EXPECT_EQ(ShownRating(e, FsType::Ntfs, true), std::nullopt);
  e.SetKind(EntryKind::VirtualFolder);
  EXPECT_EQ(ShownRating(e, FsType::Fat32, false), std::nullopt);

  const ScanEntry small = Sized(10), big = Sized(20);
  EXPECT_LT(CompareByColumn(small, u"b", false, big, u"a", false, ListColumn::Size, FsType::Fat32), 0);
  EXPECT_GT(CompareByColumn(small, u"b", false, big, u"a", false, ListColumn::Name, FsType::Fat32), 0);
  EXPECT_EQ(CompareByColumn(small, u"ABC", false, big, u"abc", false, ListColumn::Name, FsType::Fat32), 0);
  // Folders have no type: they sort before any extension.
  EXPECT_LT(CompareByColumn(small, u"x.zip", true, big, u"y.aaa", false, ListColumn::Type, FsType::Fat32), 0);
}

// The keyed sort must give exactly the order the pairwise comparison gives,
// equal keys included (they keep their order in both directions).
TEST(ListColumns, SortedOrderMatchesThePairwiseComparison) {
  struct Row {
    const char16_t* name;
    bool folder;
    std::uint64_t size;
    std::uint16_t date;
    std::uint8_t rating;
  } table[] = {
      {u"readme.TXT", false, 10, 0x5A21, 100},
      {u"README.txt", false, 10, 0x5A21, 50},
      {u"Readme.txt", false, 7, 0x5A22, 100},
      {u"readme", false, 0, 0, 0},
      {u"readme.txt.bak", false, 1ull << 33, 1, 255},
      {u"Écran.png", false, 500, 0x4000, 20},
      {u"écran.PNG", false, 500, 0x4000, 20},
      {u"ecran.png", false, 499, 0x4001, 21},
      {u"Ελληνικά.doc", false, 3, 2, 3},
      {u"ελληνικά.DOC", false, 3, 2, 3},
      {u"ΆΈΉ", true, 0, 0, 100},
      {u"άέή", true, 0, 0, 100},
      {u"Кириллица.zip", false, 4, 5, 6},
      {u"кириллица.ZIP", false, 4, 5, 6},
      {u"Ёлка", false, 1, 1, 1},
      {u"ёлка", false, 1, 1, 1},
      {u"file10", false, 10, 10, 10},
      {u"file2", false, 2, 2, 2},
      {u"FILE1", false, 1, 1, 1},
      {u"0001", false, 0, 0, 0},
      {u"9", false, 9, 9, 9},
      {u"same", false, 1, 1, 1},
      {u"same", false, 1, 1, 1},
      {u"SAME", true, 1, 1, 1},
      {u"?ame.jpg", false, 100, 3, 0},
      {u"_x", false, 0, 0, 0},
      {u"x.", false, 0, 0, 0},
      {u".hidden", false, 0, 0, 0},
      {u"", false, 0, 0, 0},
      {u"ＦＵＬＬ.txt", false, 5, 5, 5},
      {u"ｆｕｌｌ.TXT", false, 5, 5, 5},
      {u"Łódź.tar", true, 8, 8, 8},
      {u"łódź.tar", false, 8, 8, 8},
  };
  std::vector<ScanEntry> entries;
  for (const Row& r : table) {
    ScanEntry e = MakeScanEntry();
    e.size = r.size;
    e.SetFatDate(r.date);
    e.SetFileTime(r.size * 3 + r.date);
    e.rating = r.rating;
    entries.push_back(e);
  }
  std::vector<ListSortItem> items;
  for (std::size_t i = 0; i < entries.size(); ++i) items.push_back({&entries[i], table[i].name, table[i].folder});

  for (const FsType fs : {FsType::Fat32, FsType::Ntfs}) {
    for (int column = 0; column < kListColumns; ++column) {
      for (const bool ascending : {true, false}) {
        const auto col = static_cast<ListColumn>(column);
        std::vector<std::size_t> expected(items.size());
        for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = i;
        std::stable_sort(expected.begin(), expected.end(), [&](std::size_t a, std::size_t b) {
          const ListSortItem& x = items[a];
          const ListSortItem& y = items[b];
          const int c = CompareByColumn(*x.entry, x.name, x.folder, *y.entry, y.name, y.folder, col, fs);
          return ascending ? c < 0 : c > 0;
        });
        EXPECT_EQ(SortedOrder(items, col, ascending, fs), expected)
            << "column " << column << (ascending ? " ascending" : " descending");
      }
    }
  }
  // Names sharing a start, shorter than it plus four, and with a NUL in them.
  const std::u16string shared[] = {u"IMG_0010.jpg", u"img_0010.JPG", u"IMG_001",  u"img_",          u"IMG_",
                                   u"IMG_0009.jpg", u"IMG_00",       u"img_0",    u"IMG_0010.jpg.1", u"IMG_1",
                                   std::u16string(u"IMG_\0", 5),    u"IMG_\u0100", u"IMG_Ω", u"img_ω"};
  std::vector<ListSortItem> prefixed;
  for (const auto& name : shared) prefixed.push_back({&entries[0], name, false});
  for (const ListColumn col : {ListColumn::Name, ListColumn::Type}) {
    for (const bool ascending : {true, false}) {
      std::vector<std::size_t> expected(prefixed.size());
      for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = i;
      std::stable_sort(expected.begin(), expected.end(), [&](std::size_t a, std::size_t b) {
        const int c = CompareByColumn(entries[0], prefixed[a].name, false, entries[0], prefixed[b].name, false, col,
                                      FsType::Fat32);
        return ascending ? c < 0 : c > 0;
      });
      EXPECT_EQ(SortedOrder(prefixed, col, ascending, FsType::Fat32), expected) << (ascending ? "up" : "down");
    }
  }
  // Equal names keep their order whichever way the list is sorted.
  const auto down = SortedOrder(items, ListColumn::Name, false, FsType::Fat32);
  const auto firstSame = std::find(down.begin(), down.end(), 21u);
  ASSERT_NE(firstSame, down.end());
  EXPECT_EQ(firstSame[1], 22u);
  EXPECT_EQ(firstSame[2], 23u);
  EXPECT_TRUE(SortedOrder({}, ListColumn::Name, true, FsType::Fat32).empty());
}

}  // namespace
}  // namespace kestrova
