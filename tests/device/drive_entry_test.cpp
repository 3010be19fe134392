#include "device/drive_entry.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrova {
namespace {

TEST(DriveEntry, TextFieldsTruncateAndRoundTripThroughBytes) {
  DriveEntry e = MakeDriveEntry();
  SetEntryFsName(e, u"FAT32");
  EXPECT_EQ(EntryFsName(e), u"FAT32");
  const std::u16string longLabel(300, u'\u0416');
  SetEntryLabel(e, longLabel);
  EXPECT_EQ(EntryLabel(e), std::u16string(127, u'\u0416'));  // 128 characters with the terminator
  SetEntryLabel(e, u"X");
  EXPECT_EQ(EntryLabel(e), u"X");  // shorter text clears the rest

  // The record is stored byte for byte: a copy through memory keeps every field.
  e.start = 0x1122334455667788ull;
  e.freeBytes = 12345.0;
  e.foundAt[7] = 999;
  std::uint8_t raw[sizeof(DriveEntry)];
  std::memcpy(raw, &e, sizeof e);
  EXPECT_EQ(raw[4], 0x88);
  EXPECT_EQ(raw[11], 0x11);
  EXPECT_EQ(raw[27], 'F');
  EXPECT_EQ(raw[28], 0);
  DriveEntry back;
  std::memcpy(&back, raw, sizeof back);
  EXPECT_EQ(+(back.start), +(e.start));
  EXPECT_EQ(+(back.freeBytes), 12345.0);
  EXPECT_EQ(+(back.foundAt[7]), 999);
}

TEST(DriveSettings, ClusterChoicesCoverFiveHundredTwelveBytesToThirtyTwoMebibytes) {
  EXPECT_EQ(kClusterChoiceNames.size(), 18u);
  EXPECT_EQ(ClusterChoiceBytes(0), 0u);
  EXPECT_EQ(ClusterChoiceBytes(1), 512u);
  EXPECT_EQ(ClusterChoiceBytes(4), 4096u);
  EXPECT_EQ(ClusterChoiceBytes(17), 32u << 20);
  EXPECT_EQ(ClusterChoiceBytes(18), 0u);
  EXPECT_EQ(ClusterChoiceSectors(4, 512), 8u);
  EXPECT_EQ(ClusterChoiceSectors(1, 4096), 1u);  // never 0 sectors
  EXPECT_EQ(ClusterChoiceSectors(0, 512), 0u);
  DriveSettings s;
  s.fsChoice = 2;
  EXPECT_EQ(s.ChosenFs(), FsType::Ntfs);
  EXPECT_TRUE(s.RawAnalyzeTicked());
  s.reverse = true;
  EXPECT_TRUE(s.Damaged());
}

}  // namespace
}  // namespace kestrova
