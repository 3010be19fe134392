#include "volume/volume_label.h"

#include "fs/ntfs/ntfs_format.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrova {
namespace {

TEST(FatLabel, SkipsDeletedLongNamePartsAndFoldersAndStopsAtTheEnd) {
  std::vector<std::uint8_t> dir(32 * 5, 0);
  auto entry = [&](int i, const char* name, std::uint8_t attr) {
    std::memcpy(dir.data() + 32 * i, name, 11);
    dir[32 * i + 11] = attr;
  };
  entry(0, "\xE5" "DELETED   ", 0x08);
  entry(1, "LONGPART   ", 0x0F);
  entry(2, "FOLDER     ", 0x18);
  EXPECT_FALSE(FatLabelInDirectory(dir));
  entry(4, "AFTEREND   ", 0x08);  // entry 3 is the end marker
  EXPECT_FALSE(FatLabelInDirectory(dir));
  entry(3, "MYLABEL    ", 0x08);
  EXPECT_EQ(FatLabelInDirectory(dir).value(), u"MYLABEL");
  EXPECT_FALSE(FatLabelInDirectory(std::span<const std::uint8_t>(dir.data(), 20)));  // partial entry
}

TEST(ExfatLabel, CountIsCappedAtElevenCharacters) {
  std::vector<std::uint8_t> dir(64, 0);
  dir[0] = 0x83;
  dir[1] = 200;
  for (int i = 0; i < 15; ++i) dir[2 + 2 * i] = 'A';
  bool ended = false;
  EXPECT_EQ(ExfatLabelInDirectory(dir, ended).value(), std::u16string(11, u'A'));
}

TEST(NtfsRecord, FixupsRestoreSectorEndsAndDetectTornRecords) {
  std::vector<std::uint8_t> rec(1024, 0);
  std::memcpy(rec.data(), "FILE", 4);
  rec[4] = 48;
  rec[6] = 3;
  rec[48] = 0x07;
  rec[50] = 0xAA;  // real bytes of sector 1's end
  rec[52] = 0xBB;
  rec[510] = 0x07;
  rec[1022] = 0x07;
  EXPECT_TRUE(ApplyNtfsRecordFixups(rec).intact);
  EXPECT_EQ(rec[510], 0xAA);
  EXPECT_EQ(rec[1022], 0xBB);
  rec[510] = 0x00;  // no longer the check value: a torn write
  EXPECT_FALSE(ApplyNtfsRecordFixups(rec).intact);
  // An update sequence that points outside the record is refused.
  rec[4] = 0xF0;
  rec[5] = 0x03;
  EXPECT_FALSE(ApplyNtfsRecordFixups(rec).intact);
}

TEST(NtfsRecord, GarbageAttributeChainsEndTheWalk) {
  std::vector<std::uint8_t> rec(1024, 0);
  std::memcpy(rec.data(), "FILE", 4);
  rec[20] = 56;
  rec[56] = 0x10;  // attribute of length 0 must not loop
  EXPECT_FALSE(NtfsVolumeNameInRecord(rec));
  rec[60] = 0xFF;  // length beyond the record
  rec[61] = 0xFF;
  EXPECT_FALSE(NtfsVolumeNameInRecord(rec));
  rec[20] = 0xFF;  // first attribute offset beyond the record
  rec[21] = 0xFF;
  EXPECT_FALSE(NtfsVolumeNameInRecord(rec));
}

}  // namespace
}  // namespace kestrova
