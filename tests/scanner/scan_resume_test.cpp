// The scan's pending state as a session keeps it: what goes in comes out,
// and bytes that lie about their counts or lengths are refused whole.
#include "scanner/scan_resume.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrova {
namespace {

ScanPendingState Sample() {
  ScanPendingState s;
  for (std::size_t i = 0; i < s.raw.foundCounts.size(); ++i) s.raw.foundCounts[i] = static_cast<std::uint32_t>(i * 3);
  s.raw.pendingOpen = true;
  s.raw.pendingRow = 42;
  s.raw.pendingEntry.size = 0x00C80000;
  s.raw.pendingEntry.SetRawFirstSector(0x123456789ull);
  s.raw.pendingFirstSector = 0x123456789ull;
  s.raw.pendingSize = 0x00C80000;
  s.raw.pendingLimitSector = 0x123456789ull + 0x6400;
  for (std::uint32_t i = 0; i < 5; ++i) {
    ParsedRecord r;
    r.entry.size = 1000 + i;
    r.entry.SetFirstCluster(77 + i);
    r.name = i == 2 ? std::u16string() : u"R\u00e9sum\u00e9 " + std::u16string(i + 1, u'\u4e2d');
    s.ntfsBatch.push_back(r);
  }
  return s;
}

void ExpectSame(const ScanPendingState& a, const ScanPendingState& b) {
  EXPECT_EQ(a.raw.foundCounts, b.raw.foundCounts);
  EXPECT_EQ(a.raw.pendingOpen, b.raw.pendingOpen);
  EXPECT_EQ(a.raw.pendingRow, b.raw.pendingRow);
  EXPECT_EQ(std::memcmp(&a.raw.pendingEntry, &b.raw.pendingEntry, sizeof(ScanEntry)), 0);
  EXPECT_EQ(a.raw.pendingFirstSector, b.raw.pendingFirstSector);
  EXPECT_EQ(a.raw.pendingSize, b.raw.pendingSize);
  EXPECT_EQ(a.raw.pendingLimitSector, b.raw.pendingLimitSector);
  ASSERT_EQ(a.ntfsBatch.size(), b.ntfsBatch.size());
  for (std::size_t i = 0; i < a.ntfsBatch.size(); ++i) {
    EXPECT_EQ(a.ntfsBatch[i].name, b.ntfsBatch[i].name) << i;
    EXPECT_EQ(std::memcmp(&a.ntfsBatch[i].entry, &b.ntfsBatch[i].entry, sizeof(ScanEntry)), 0) << i;
  }
}

TEST(ScanResumeState, RoundTripsWithAndWithoutAPendingFile) {
  for (bool open : {true, false}) {
    for (bool batch : {true, false}) {
      SCOPED_TRACE(std::to_string(open) + std::to_string(batch));
      ScanPendingState s = Sample();
      s.raw.pendingOpen = open;
      if (!open) {
        s.raw.pendingRow = 0;
        s.raw.pendingEntry = MakeScanEntry();
        s.raw.pendingFirstSector = s.raw.pendingSize = 0;
        s.raw.pendingLimitSector = 0;
      }
      if (!batch) s.ntfsBatch.clear();
      ScanPendingState back;
      ASSERT_TRUE(DecodeScanState(EncodeScanState(s), back));
      ExpectSame(s, back);
    }
  }
}

TEST(ScanResumeState, LyingOrCutBytesAreRefusedWhole) {
  const std::vector<std::uint8_t> good = EncodeScanState(Sample());
  ScanPendingState out;
  out.raw.foundCounts[0] = 999;  // must survive every refusal
  // Cut at every length.
  for (std::size_t n = 0; n < good.size(); ++n) {
    ASSERT_FALSE(DecodeScanState(std::span(good).first(n), out)) << n;
  }
  auto bent = [&](std::size_t at, std::uint32_t value) {
    std::vector<std::uint8_t> b = good;
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return b;
  };
  const std::size_t counts = 12, open = counts + 4 * kScanItemCount;
  const std::size_t batchCount = open + 1 + 2 + 8 + 4 + 8 + sizeof(ScanEntry);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<std::uint8_t> trailing = good;
  trailing.push_back(0);
  std::vector<std::uint8_t> badOpen = good;
  badOpen[open] = 2;
  std::vector<std::uint8_t> badMagic = good;
  badMagic[0] = 'X';
  const Case cases[] = {
      {"bad magic", badMagic},
      {"another version", bent(4, 2)},
      {"another signature table", bent(8, kScanItemCount + 1)},
      {"open flag not a flag", badOpen},
      {"pending row past the table", bent(open + 1, 0xFFFF)},
      {"batch count past the bytes", bent(batchCount, 0x7FFFFFFF)},
      {"name longer than the bytes", bent(batchCount + 4 + sizeof(ScanEntry), 0x00100000)},
      {"bytes after the end", trailing},
  };
  for (const Case& c : cases) EXPECT_FALSE(DecodeScanState(c.bytes, out)) << c.name;
  EXPECT_EQ(out.raw.foundCounts[0], 999u);
  ASSERT_TRUE(DecodeScanState(good, out));
  ExpectSame(Sample(), out);
}

}  // namespace
}  // namespace kestrova
