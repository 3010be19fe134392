// The hex view's rows, its block cache and the dump lines.
#include "tools/hex_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrova {
namespace {

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

TEST(HexView, RowsAndScrollSteps) {
  struct Case {
    std::uint64_t size, rows, perUnit;
  };
  const Case cases[] = {
      {0, 0, 1}, {1, 1, 1}, {16, 1, 1}, {17, 2, 1}, {0x0FFFFFFFull * 16, 0x0FFFFFFF, 1},
      {0x0FFFFFFFull * 16 + 1, 0x10000000, 256}, {5ull << 30, (5ull << 30) / 16, 256}};
  for (const Case& c : cases) {
    EXPECT_EQ(HexTotalRows(c.size), c.rows) << c.size;
    EXPECT_EQ(HexRowsPerScrollUnit(HexTotalRows(c.size)), c.perUnit) << c.size;
  }
  ScanEntry e = MakeScanEntry();
  e.size = 0x100000010ull;
  EXPECT_EQ(HexEntrySize(e, FsType::Fat32), 0x10u) << "FAT sizes are 32-bit";
  EXPECT_EQ(HexEntrySize(e, FsType::Ntfs), 0x100000010ull);
  EXPECT_EQ(HexEntrySize(e, FsType::Exfat), 0x100000010ull);
}

TEST(HexView, LinesFormatBytesCharactersAndThePartialLastRow) {
  std::vector<std::uint8_t> data(17);
  for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0x41 + i);
  data[1] = 0x7F;
  data[2] = 0x85;
  data[3] = 0xA0;
  data[4] = 0x09;
  data[16] = 0xFF;
  HexBlockCache cache([&](std::uint64_t o, std::uint64_t n) {
    return std::vector<std::uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(o),
                                     data.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(o + n, data.size())));
  }, 512);
  cache.Reset(data.size());
  const HexRow first = cache.FetchRow(0);
  EXPECT_EQ(first.length, 16u);
  EXPECT_EQ(HexLine(0, first),
            u"0000000000  41 7F 85 A0 09 46 47 48  49 4A 4B 4C 4D 4E 4F 50   A\u007F.\u00A0.FGHIJKLMNOP");
  const HexRow last = cache.FetchRow(1);
  EXPECT_EQ(last.length, 1u);
  EXPECT_EQ(Narrow(HexBytesText(last)), "FF" + std::string(15 * 3 + 1, ' '));
  EXPECT_EQ(HexCharsText(last), u"\u00FF" + std::u16string(15, u' '));
  EXPECT_EQ(cache.FetchRow(2).length, 0u) << "past the end";
  EXPECT_EQ(Narrow(HexHeaderLine()), "Offset      0  1  2  3  4  5  6  7   8  9  A  B  C  D  E  F");
  EXPECT_EQ(Narrow(HexOffsetText(0x10000123ull)), "0100001230");
}

TEST(HexView, OneReadPerBlockAndNeverStaleBytesOfAnotherBlock) {
  constexpr std::uint64_t kBlock = 512;
  const std::uint64_t size = 5ull << 30;
  int reads = 0;
  bool failSecond = false;
  HexBlockCache cache([&](std::uint64_t offset, std::uint64_t length) {
    ++reads;
    if (failSecond && offset >= kBlock && offset < 2 * kBlock) return std::vector<std::uint8_t>(100, 0xEE);  // short
    std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>((offset + i) >> 32 ^ (offset + i));
    return out;
  }, kBlock);
  cache.Reset(size);
  for (std::uint64_t row = 0; row < kBlock / 16; ++row) cache.FetchRow(row);
  EXPECT_EQ(reads, 1) << "moving within one cached block reads nothing";
  // Past 4 GiB the offset is 64-bit all the way down.
  const std::uint64_t far = (4ull << 30) + 0x1230;
  const HexRow r = cache.FetchRow(far / 16);
  EXPECT_EQ(r.bytes[0], static_cast<std::uint8_t>(far >> 32 ^ far));
  EXPECT_EQ(Narrow(HexOffsetText(far / 16)), "0100001230");
  EXPECT_EQ(reads, 2);

  failSecond = true;
  cache.Reset(size);
  cache.FetchRow(0);  // block 0 cached, full of its own bytes
  const HexRow partial = cache.FetchRow(kBlock / 16 + 6);  // bytes 96..111 of block 1: 96..99 read
  EXPECT_EQ(partial.unreadable, 0xFFF0) << "bytes the read did not deliver are unreadable";
  EXPECT_EQ(partial.bytes[0], 0xEE);
  EXPECT_EQ(partial.bytes[4], 0) << "not the old block's byte";
  EXPECT_EQ(Narrow(HexBytesText(partial)).substr(0, 14), "EE EE EE EE ??");
  EXPECT_EQ(HexCharsText(partial).substr(4), std::u16string(12, u' '));
  EXPECT_EQ(cache.FetchRow(kBlock / 16 + 20).unreadable, 0xFFFF);
}

}  // namespace
}  // namespace kestrova
