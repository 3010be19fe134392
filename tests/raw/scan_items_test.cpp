#include "raw/scan_items.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace kestrova {
namespace {

const ScanItemTable& T() { return DefaultScanItemTable(); }

std::vector<std::uint8_t> Sector(std::initializer_list<std::uint8_t> start, std::size_t at = 0) {
  std::vector<std::uint8_t> s(512, 0x20);
  std::copy(start.begin(), start.end(), s.begin() + static_cast<std::ptrdiff_t>(at));
  return s;
}
std::vector<std::uint8_t> SectorText(std::string_view text, std::size_t at = 0, std::uint8_t fill = 0x20) {
  std::vector<std::uint8_t> s(512, fill);
  std::memcpy(s.data() + at, text.data(), text.size());
  return s;
}

TEST(ScanItems, RowsKeepTheirStoredIndices) {
  struct Row {
    std::size_t index;
    std::string_view ext, folder;
  };
  // Session files store these positions: any move breaks every saved RAW result.
  const Row rows[] = {
      {0, ".first", "FIRST"},     {1, ".amr", "AMR"},       {10, ".lnk", "LNK"},
      {18, ".mts", "MTS"},        {27, ".acp", "ACP"},      {46, ".iso", "ISO"},
      {50, ".psd", "PSD"},        {56, ".tif", "TIF"},      {70, ".zip", "ZIP"},
      {73, ".mp3", "MP3"},        {82, ".jpg", "JPG"},      {83, ".bmp", "BMP"},
      {84, ".PITy2012NG", "PITy2012NG"}, {88, ".PITy2013NG", "PITy2013NG"},
      {89, ".pspimage", "PSPIMAGE"}, {90, ".sps", "SPS"},  {98, ".UL.dat", "ULEAD-DAT"},
      {110, ".docx", "DOCX"},     {136, ".U.txt", "TXTu"},  {137, ".A.txt", "TXTa"},
      {138, ".raf", "TIF"},       {158, ".nef", "NEF"},     {159, ".last", "LAST"},
  };
  static_assert(std::tuple_size_v<ScanItemTable> == 160);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.index);
    EXPECT_EQ(T()[r.index].itemIndex, r.index);
    EXPECT_EQ(T()[r.index].extension, r.ext);
    EXPECT_EQ(T()[r.index].folderName, r.folder);
  }
  EXPECT_TRUE(ScanItemTableIntact(T()));
}

TEST(ScanItems, ListsCoverEveryRowOnceExceptMarkersAndSpares) {
  std::multiset<std::uint16_t> seen(kHeaderScanOrder.begin(), kHeaderScanOrder.end());
  seen.insert(kDerivedItems.begin(), kDerivedItems.end() - 1);
  EXPECT_EQ(kDerivedItems.back(), kDerivedEndMarker);
  EXPECT_EQ(T()[kDerivedEndMarker].extension, ".sps");
  for (std::uint16_t i = 0; i < kScanItemCount; ++i) {
    const bool outside = i == 0 || i == 159 || i == 90 || i == 84 || i == 86 || i == 87;
    EXPECT_EQ(seen.count(i), outside ? 0u : 1u) << "item " << i;
  }
  for (std::uint16_t i : kHeaderScanOrder) {
    EXPECT_FALSE(T()[i].derived) << i;
    EXPECT_GT(T()[i].signatureLength, 0) << i;
  }
  for (std::size_t k = 0; k < kDerivedItemCount; ++k) EXPECT_TRUE(T()[kDerivedItems[k]].derived) << kDerivedItems[k];
  EXPECT_EQ(kHeaderScanOrder.front(), 27);
  EXPECT_EQ(kHeaderScanOrder[2], 82);
  EXPECT_EQ(kHeaderScanOrder.back(), 23);
  EXPECT_EQ(kDerivedItems.front(), 158);
  EXPECT_EQ(kDerivedItems[kDerivedItemCount - 1], 96);
}

TEST(ScanItems, PendingRowsCarryTheirMaximum) {
  struct Row {
    std::size_t index;
    std::uint32_t maxSize;
    std::size_t sigLength;
    bool primary;
  };
  constexpr std::uint32_t MiB = 1048576;
  const Row rows[] = {
      {50, 50 * MiB, 4, true},   {11, 25 * MiB, 5, true},   {10, 4096, 20, true},   {9, 10 * MiB, 8, true},
      {8, 10 * MiB, 8, true},    {7, 200 * MiB, 5, true},   {6, 10 * MiB, 5, true}, {5, 10 * MiB, 32, true},
      {4, 10 * MiB, 20, false},  {3, 10 * MiB, 16, true},   {2, 10 * MiB, 32, true}, {26, 25 * MiB, 8, true},
      {25, 50 * MiB, 11, true},  {49, 5 * MiB, 8, true},    {12, 1 * MiB, 4, true}, {1, 50 * MiB, 5, true},
      {14, 100 * MiB, 4, true},  {13, 100 * MiB, 5, true},  {16, 100 * MiB, 4, true}, {17, 100 * MiB, 16, true},
      {15, 100 * MiB, 4, true},  {18, 1073741824u, 8, true}, {19, 3221225472u, 9, true}, {20, 50 * MiB, 16, true},
      {22, 2 * MiB, 12, true},   {21, 15 * MiB, 4, true},   {24, 100 * MiB, 32, true}, {23, 50 * MiB, 11, true},
      {82, 25 * MiB, 3, true},   {59, 50 * MiB, 4, true},   {56, 50 * MiB, 4, false}, {138, 50 * MiB, 15, true},
      {70, 0, 2, true},          {73, 0, 1, false},         {89, 0, 32, true},      {53, 50 * MiB, 4, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.index);
    EXPECT_EQ(T()[r.index].maxSize, r.maxSize);
    EXPECT_EQ(T()[r.index].signatureLength, r.sigLength);
    EXPECT_EQ(T()[r.index].primary, r.primary);
  }
  // Signatures spelled out where a slip would go unnoticed.
  EXPECT_EQ(std::memcmp(T()[24].signature.data(), "\xFF\xFE\xFF\x0ES\0k\0e\0t\0c\0h\0U\0p\0 \0M\0o\0d\0e\0l\0", 32), 0);
  EXPECT_EQ(std::memcmp(T()[89].signature.data(), "Paint Shop Pro Image File\x0A\x1A\0\0\0\0\0", 32), 0);
  EXPECT_EQ(std::memcmp(T()[3].signature.data(), "!<arch>\n/       ", 16), 0);
}

TEST(ScanItems, AutoNameAndExtensions) {
  EXPECT_EQ(AutoName(T(), 17, 82), u"000000017.jpg");
  EXPECT_EQ(AutoName(T(), 999999999, 137), u"999999999.A.txt");
  EXPECT_EQ(AutoName(T(), 5, 999), u"000000005") << "an unknown row has no extension";
  EXPECT_EQ(ExtensionNoDot16(T()[98]), u"UL.dat");
  EXPECT_EQ(ExtensionNoDot8(T()[44]), "7z");
  const auto exts = ItemExtensions(T());
  ASSERT_EQ(exts.size(), 160u);
  EXPECT_EQ(exts[70], u".zip");
  EXPECT_EQ(ItemByIndex(T(), 160), nullptr);
}

std::size_t MatchIndex(const std::vector<std::uint8_t>& s) {
  static const HeaderMatcher matcher(T());
  const ScanItem* row = MatchHeader(matcher, s);
  return row ? row->itemIndex : 9999;
}

TEST(ScanItems, HeaderTestFollowsTheOrderAndTheSpecialTests) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> sector;
    std::size_t item;
  };
  auto ftyp = [](std::string_view brand, std::string_view compat) {
    auto s = Sector({0x00, 0x00, 0x00, 0x20});
    std::memcpy(s.data() + 4, "ftyp", 4);
    std::memcpy(s.data() + 8, brand.data(), brand.size());
    std::memcpy(s.data() + 12, compat.data(), compat.size());
    return s;
  };
  auto bytesAt = [](std::size_t at, std::string_view text) { return SectorText(text, at, 0x11); };
  std::vector<Case> cases = {
      {"MZ goes to ICL first", SectorText("MZ"), 67},
      {"RIFF goes to WAV first", SectorText("RIFF"), 62},
      {"MDF before LDF", Sector({0x01, 0x0F, 0x00, 0x00, 0x08}), 7},
      {"JPEG before the MP3 sync byte", Sector({0xFF, 0xD8, 0xFF, 0xE0}), 82},
      {"lone FF is an MP3 frame", Sector({0xFF, 0xFB, 0x90}), 73},
      {"ftyp3g is 3GP", ftyp("3gp4", "3gp4"), 30},
      {"ftyp with MP4 brand is MP4", ftyp("isom", "MP41"), 32},
      {"mp4 only past the 32 bytes is no MP4", [&] {
         auto s = ftyp("abcd", "");
         std::memcpy(s.data() + 38, "mp4", 3);
         return s;
       }(), 9999},
      {"mp4 ending at byte 39 counts", [&] {
         auto s = ftyp("abcd", "");
         std::memcpy(s.data() + 37, "mp4", 3);
         return s;
       }(), 32},
      {"ftypqt is MOV", ftyp("qt  ", "qt  "), 31},
      {"moov at 4 is MOV", bytesAt(4, "moov"), 31},
      {"ACE marks at 7", bytesAt(7, "**ACE**"), 43},
      {"MTS packet behind its time code", Sector({0x12, 0x34, 0x56, 0x78, 0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11}), 18},
      {"NDW by its byte rules", Sector({0x52, 0x05, 0x03, 0x00, 0xF8, 0x7F}), 28},
      {"NDW with FF at 5", Sector({0x52, 0x17, 0x00, 0x00, 0x00, 0xFF}), 28},
      {"NDW rule fails: R... is no find", Sector({0x52, 0x18, 0x00, 0x00, 0xF8, 0x7F}), 9999},
      {"NDW stored bytes", Sector({0, 1, 2, 3, 4, 5, 6, 7}), 28},
      {"ISO volume descriptor", Sector({0x01, 0x43, 0x44, 0x30, 0x30, 0x31, 0x01, 0x00}), 46},
      {"TIFF big-endian is found late (order 60)", Sector({0x4D, 0x4D, 0x00, 0x2A}), 56},
      {"one byte differs", Sector({0x89, 0x50, 0x4E, 0x48}), 9999},
      {"plain text", SectorText("Hello world, nothing here"), 9999},
      {"PDB long signature", SectorText("Microsoft C/C++ program database 7.00"), 5},
      {"PDB MSF signature", SectorText("Microsoft C/C++ MSF 7.00"), 4},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchIndex(c.sector), c.item) << c.what;
}

TEST(ScanItems, NextContinuesAfterARejectedRow) {
  const HeaderMatcher matcher(T());
  const auto s = SectorText("MZ");
  std::size_t cursor = 0;
  std::vector<std::size_t> order;
  while (const ScanItem* row = matcher.Next(s, cursor).row) order.push_back(row->itemIndex);
  EXPECT_EQ(order, (std::vector<std::size_t>{67, 66, 65}));
  const std::vector<std::uint8_t> shortBytes = {0x37, 0x7A, 0xBC};
  cursor = 0;
  EXPECT_TRUE(matcher.Next(shortBytes, cursor).needMore) << "7z needs six bytes";
}

// The first-byte dispatch must give exactly what a walk of all 87 rows gives.
TEST(ScanItems, DispatchAgreesWithTheFullWalk) {
  const HeaderMatcher matcher(T());
  auto naive = [](const std::vector<std::uint8_t>& s) -> std::size_t {
    for (std::uint16_t i : kHeaderScanOrder)
      if (HeaderFits(T()[i], s)) return i;
    return 9999;
  };
  std::mt19937 rng(7);
  std::vector<std::uint8_t> s(64);
  for (int round = 0; round < 200000; ++round) {
    for (auto& b : s) b = static_cast<std::uint8_t>(rng());
    // Plant a signature (possibly damaged) now and then.
    if (round % 3 == 0) {
      const ScanItem& r = T()[kHeaderScanOrder[rng() % kHeaderScanOrder.size()]];
      const std::size_t at = r.test == HeaderTest::Mts ? 4 : 0;
      std::memcpy(s.data() + at, r.signature.data(), r.signatureLength);
      if (rng() % 2) s[rng() % 12] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    const ScanItem* got = MatchHeader(matcher, s);
    ASSERT_EQ(got ? got->itemIndex : 9999, naive(s)) << "round " << round;
  }
}

}  // namespace
}  // namespace kestrova
