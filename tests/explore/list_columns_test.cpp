#include "explore/list_columns.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrova
