// The boot-sector and record-header decoders every layer shares: the count and
// size rules they carry, and the one update-sequence routine.
#include "fs/exfat/exfat_format.h"
#include "fs/fat/fat_format.h"
#include "fs/ntfs/ntfs_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kestrova {
namespace {

TEST(FatFormat, TheSixteenBitCountWinsWhenSet) {
  struct Case {
    std::uint16_t small;
    std::uint32_t large;
    std::uint64_t total;
  };
  for (const Case& c : {Case{40960, 0, 40960}, Case{0, 1000000, 1000000}, Case{2880, 999, 2880}, Case{0, 0, 0}}) {
    std::vector<std::uint8_t> s(512, 0);
    StoreLe16(s, 19, c.small);
    StoreLe32(s, 32, c.large);
    const auto b = ParseFatBootSector(s);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->TotalSectors(), c.total) << c.small << " " << c.large;
  }
  EXPECT_FALSE(ParseFatBootSector(std::vector<std::uint8_t>(89, 0)));
}

TEST(ExfatFormat, GeometryRulesAndAbsurdShifts) {
  std::vector<std::uint8_t> s(512, 0);
  std::memcpy(s.data() + 3, "EXFAT", 5);
  s[108] = 9;
  s[109] = 30;  // beyond any volume
  auto b = ParseExfatBootSector(s);
  ASSERT_TRUE(b);
  EXPECT_TRUE(b->signature);
  EXPECT_FALSE(b->GeometrySane());
  EXPECT_EQ(b->SectorsPerCluster(), 1u << 25);
  s[109] = 3;
  s[110] = 2;
  StoreLe32(s, 80, 24);
  StoreLe32(s, 84, 0xFFFFFFFF);
  b = ParseExfatBootSector(s);
  EXPECT_TRUE(b->GeometrySane());
  EXPECT_EQ(b->ActiveFatStart(), 24ull + 0xFFFFFFFFull);  // no 32-bit wrap
}

TEST(NtfsFormat, OneRecordSizeRule) {
  struct Case {
    std::int8_t raw;
    std::uint32_t spc, bps, size;
  };
  for (const Case& c : {Case{-10, 8, 512, 1024}, Case{-12, 1, 4096, 4096}, Case{2, 8, 512, 8192}, Case{1, 1, 512, 512},
                        Case{-128, 8, 512, 0}, Case{-17, 8, 512, 0}, Case{-10, 1, 4096, 0},  // below a sector
                        Case{64, 8, 512, 0},                                                   // over 64 KiB
                        Case{0, 8, 512, 0}}) {
    EXPECT_EQ(NtfsRecordSize(c.raw, c.spc, c.bps), c.size) << int{c.raw} << " " << c.spc << " " << c.bps;
  }
  std::vector<std::uint8_t> s(512, 0);
  s[13] = 0xF4;  // 2^12 sectors a cluster, stored negative
  s[64] = 0xF6;
  StoreLe16(s, 11, 512);
  const auto b = ParseNtfsBootSector(s);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->SectorsPerCluster(), 4096u);
  EXPECT_EQ(b->RecordSize(), 1024u);
}

TEST(NtfsFormat, FixupsCoverEvery512BytesOfLargeRecords) {
  // A 4 KiB record has nine update-sequence words whatever the sector size.
  std::vector<std::uint8_t> r(4096, 0);
  std::memcpy(r.data(), "FILE", 4);
  StoreLe16(r, 4, 48);
  StoreLe16(r, 6, 9);
  StoreLe16(r, 48, 0x0707);
  for (std::size_t i = 1; i < 9; ++i) {
    StoreLe16(r, i * 512 - 2, 0x0707);
    StoreLe16(r, 48 + 2 * i, static_cast<std::uint16_t>(0x1100 + i));
  }
  std::vector<std::uint8_t> torn = r;
  auto f = ApplyNtfsRecordFixups(r);
  EXPECT_TRUE(f.applied);
  EXPECT_TRUE(f.intact);
  for (std::size_t i = 1; i < 9; ++i) EXPECT_EQ(LoadLe16(r, i * 512 - 2), 0x1100 + i) << i;
  StoreLe16(torn, 7 * 512 - 2, 0);  // one sector of the record not written
  f = ApplyNtfsRecordFixups(torn);
  EXPECT_TRUE(f.applied);
  EXPECT_FALSE(f.intact);
  // A stated count larger than the record: the record's own count, never intact.
  std::vector<std::uint8_t> odd(1024, 0);
  StoreLe16(odd, 4, 48);
  StoreLe16(odd, 6, 200);
  f = ApplyNtfsRecordFixups(odd);
  EXPECT_TRUE(f.applied);
  EXPECT_FALSE(f.intact);
  StoreLe16(odd, 4, 1024);  // the array outside the record
  EXPECT_FALSE(ApplyNtfsRecordFixups(odd).applied);
  const auto h = ParseNtfsRecordHeader(r);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->updateCount, 9);
  EXPECT_FALSE(ParseNtfsRecordHeader(std::vector<std::uint8_t>(0x2F, 'F')));
}

}  // namespace
}  // namespace kestrova
