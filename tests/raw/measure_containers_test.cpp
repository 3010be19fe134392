// Crafted samples built from the published layouts of formats no free tool
// writes (and the edge cases of the ones that have one), carved with the
// program's own signature table.
#include "carve_harness.h"
#include "raw/measure_containers.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace kestrova {
namespace {

using test::Carved;

// A file under construction: fields at offsets, growing as needed.
struct Buf {
  std::vector<std::uint8_t> b;
  explicit Buf(std::size_t n = 0) : b(n, 0) {}
  void Fit(std::size_t end) {
    if (b.size() < end) b.resize(end, 0);
  }
  Buf& U8(std::size_t at, std::uint8_t v) {
    Fit(at + 1);
    b[at] = v;
    return *this;
  }
  Buf& Le16(std::size_t at, std::uint16_t v) {
    return U8(at, static_cast<std::uint8_t>(v)).U8(at + 1, static_cast<std::uint8_t>(v >> 8));
  }
  Buf& Le32(std::size_t at, std::uint32_t v) {
    return Le16(at, static_cast<std::uint16_t>(v)).Le16(at + 2, static_cast<std::uint16_t>(v >> 16));
  }
  Buf& Le64(std::size_t at, std::uint64_t v) {
    return Le32(at, static_cast<std::uint32_t>(v)).Le32(at + 4, static_cast<std::uint32_t>(v >> 32));
  }
  Buf& Be16(std::size_t at, std::uint16_t v) {
    return U8(at, static_cast<std::uint8_t>(v >> 8)).U8(at + 1, static_cast<std::uint8_t>(v));
  }
  Buf& Be32(std::size_t at, std::uint32_t v) {
    return Be16(at, static_cast<std::uint16_t>(v >> 16)).Be16(at + 2, static_cast<std::uint16_t>(v));
  }
  Buf& Text(std::size_t at, std::string_view t) {
    Fit(at + t.size());
    for (std::size_t i = 0; i < t.size(); ++i) b[at + i] = static_cast<std::uint8_t>(t[i]);
    return *this;
  }
  Buf& Utf16(std::size_t at, std::u16string_view t) {
    for (std::size_t i = 0; i < t.size(); ++i) Le16(at + 2 * i, t[i]);
    return *this;
  }
  Buf& Fill(std::size_t at, std::size_t n, std::uint8_t v) {
    Fit(at + n);
    for (std::size_t i = 0; i < n; ++i) b[at + i] = v;
    return *this;
  }
};

bool StepAside(FindContext&) { return false; }

// The RIFF rows before CDR and the bare MP3 frame-sync row belong to the
// picture, audio and video routines; these samples are none of theirs, and
// those rows' own tests reject them (form type, a leading FF FF). Here they
// step aside so that the samples reach the rows under test.
const ScanItemTable& Table() {
  static const ScanItemTable table = [] {
    ScanItemTable t = DefaultScanItemTable();
    for (const std::uint16_t i : {std::uint16_t{60}, std::uint16_t{61}, std::uint16_t{62}, item::kMp3Sync}) t[i].validate = StepAside;
    return t;
  }();
  return table;
}

std::vector<Carved> Carve(const std::vector<std::uint8_t>& disk) { return test::CarveDisk(disk, Table()); }

Carved CarveOne(const std::vector<std::uint8_t>& file,
                const std::vector<std::uint8_t>& after = std::vector<std::uint8_t>(262144, 0)) {
  const auto finds = Carve(test::DiskWith(file, 4, after));
  const Carved* c = test::FindAt(finds, 4);
  return c ? *c : Carved{};
}

constexpr std::uint8_t kEstimate = rating::kRawClosed;
constexpr std::uint8_t kIntact = rating::kIntact;

// ---- Simple header measures ------------------------------------------------

struct SimpleCase {
  const char* label;
  Buf file;
  int item;              // the row under test
  std::uint32_t size;    // 0: the row rejects the sample
  std::uint8_t rating;
};

std::vector<SimpleCase> SimpleCases() {
  const std::uint8_t chmGuids[32] = {0x10, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11, 0x9E, 0x0C, 0x00,
                                     0xA0, 0xC9, 0x22, 0xE6, 0xEC, 0x11, 0xFD, 0x01, 0x7C, 0xAA, 0x7B,
                                     0xD0, 0x11, 0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
  auto chm = [&](bool guids) {
    Buf b(4000);
    b.Text(0, "ITSF").Le32(4, 3).Le32(8, 0x60);
    if (guids)
      for (int i = 0; i < 32; ++i) b.U8(24 + i, chmGuids[i]);
    // Header section table (two offset/length pairs), content offset, then
    // the header section 0 with its file size.
    b.Le64(56, 0x60).Le64(64, 0x18).Le64(72, 0x78).Le64(80, 0x1054).Le64(88, 0x10CC);
    b.Le32(96, 0x1FE).Le64(104, 4000);
    return b;
  };
  auto indd = [](bool master) {
    const std::string sig = "\x06\x06\xED\xF5\xD8\x1D\x46\xE5\xBD\x31\xEF\xE7\xFE\x74\xB7\x1D";
    Buf b(5 * 4096);
    b.Text(0, sig).Le32(280, 3);
    if (master) b.Text(4096, sig);
    return b;
  };
  auto psp = [](int blocks) {
    Buf b;
    b.Text(0, "Paint Shop Pro Image File\n\x1a").Fill(27, 5, 0).Le16(32, 5).Le16(34, 0);
    b.Text(36, std::string("~BK\0", 4)).Le16(40, 0).Le32(42, 40);
    std::size_t at = 36 + 10 + 40;
    for (int i = 0; i < blocks; ++i) {
      b.Text(at, std::string("~BK\0", 4)).Le16(at + 4, 1).Le32(at + 6, 300);
      b.Fill(at + 10, 300, 0x11);
      at += 310;
    }
    b.Fit(at);
    return b;
  };
  auto mkv = [] {
    Buf b(36 + 3000);
    b.Be32(0, 0x1A45DFA3).U8(4, 0x93).Be16(5, 0x4282).U8(7, 0x88).Text(8, "matroska");
    b.Be16(16, 0x4287).U8(18, 0x81).U8(19, 4).Be16(20, 0x4285).U8(22, 0x81).U8(23, 2);
    b.Be32(24, 0x18538067).U8(28, 0x01).Fill(29, 5, 0).Be16(34, 3000).Fill(36, 3000, 0x42);
    return b;
  };
  auto ndw = [](std::uint16_t n) {
    Buf b(600);
    b.U8(0, 0x52).U8(1, 0x05).U8(2, 0x03).U8(4, 0xF8).U8(5, 0x7F).Le16(8, n).Fill(32, 500, 0x20);
    return b;
  };
  return {
      {"CabCrafted", Buf(300).Text(0, "MSCF").Le32(8, 5000), 68, 5000, kIntact},
      {"CabWithReservedFieldSetCrafted", Buf(300).Text(0, "MSCF").Le32(4, 1).Le32(8, 5000), 68, 0, 0},
      {"SevenZipCrafted", Buf(64).Text(0, "7z\xBC\xAF\x27\x1C").Le64(12, 9000).Le64(20, 100), 44, 9132, kIntact},
      {"SevenZipPast500MiBCrafted", Buf(64).Text(0, "7z\xBC\xAF\x27\x1C").Le64(12, 600u << 20), 44, 0, 0},
      {"SevenZipWrappingSumCrafted", Buf(64).Text(0, "7z\xBC\xAF\x27\x1C").Le64(12, ~0ull).Le64(20, 40), 44, 0, 0},
      {"HlpCrafted", Buf(64).Text(0, "?_\x03").U8(3, 0).Le32(12, 7777), 33, 7777, kIntact},
      {"DcuCrafted", Buf(64).Text(0, "\xDF").Le16(1, 0).U8(3, 0x0F).Le32(4, 4444), 35, 4444, kIntact},
      {"DcuPast25MiBCrafted", Buf(64).Text(0, "\xD8\xA6\x68\x47").Le32(4, 26u << 20), 34, 0, 0},
      {"PfxWithoutVersionCrafted", Buf(64).Text(0, "\x30\x82").Be16(2, 900).Le32(4, 0x11223344), 36, 0, 0},
      {"AcpCrafted", Buf(64).Text(0, std::string("ArCon - Projekt\0", 16)).Le32(20, 12345), 27, 12345, kIntact},
      {"LwoCrafted", Buf(64).Text(0, "FORM").Be32(4, 992).Text(8, "LWO2"), 29, 1000, kEstimate},
      {"LwoTooSmallCrafted", Buf(64).Text(0, "FORM").Be32(4, 100).Text(8, "LWO2"), 29, 0, 0},
      {"CdrCrafted", Buf(64).Text(0, "RIFF").Le32(4, 6000).Text(8, "CDR9"), 38, 6008, kIntact},
      {"PstCrafted", Buf(512).Text(0, "!BDN").Le32(192, 0x1000), 39, 0x1000 + 0x3E000, kIntact},
      {"PstBelow256Crafted", Buf(512).Text(0, "!BDN").Le32(192, 255), 39, 0, 0},
      {"DbxCrafted", Buf(512).Text(0, "\xCF\xAD\x12\xFE").Le32(124, 0x10000).Le32(36, 0x12345), 40, 0x12345,
       kIntact},
      {"ChmCrafted", chm(true), 41, 4000, kIntact},
      {"ChmWithoutClassIdsCrafted", chm(false), 41, 0, 0},
      {"IsoBelowOneSectorCrafted", Buf(34816).Text(32768, "\x01" "CD001\x01").Le32(32768 + 80, 0).Le16(32768 + 128, 2048), 46, 0, 0},
      {"MkvCrafted", mkv(), 45, 3036, kIntact},
      {"EbmlOfAnotherDocTypeCrafted", Buf(64).Be32(0, 0x1A45DFA3).U8(4, 0x8B).Be16(5, 0x4282).U8(7, 0x88).Text(8, "webmwebm"), 45, 0, 0},
      {"MkvOfUnknownSegmentSizeCrafted", mkv().Fill(28, 8, 0xFF).U8(28, 0x01), 45, 0, 0},
      {"InddCrafted", indd(true), 37, 5 * 4096, kEstimate},
      {"InddWithoutSecondMasterPageCrafted", indd(false), 37, 0, 0},
      {"NdwSmallCrafted", ndw(3), 28, 0x11000, kEstimate},
      {"NdwCrafted", ndw(5), 28, 5 * 16384 + 4096, kEstimate},
      {"PspImageCrafted", psp(3), 89, 86 + 3 * 310, kIntact},
      {"PspImageWithoutBlockCrafted", Buf(64).Text(0, "Paint Shop Pro Image File\n\x1a"), 89, 0, 0},
  };
}

TEST(ContainerMeasures, SimpleHeaderMeasuresTable) {
  for (const SimpleCase& t : SimpleCases()) {
    SCOPED_TRACE(t.label);
    const Carved c = CarveOne(t.file.b);
    if (t.size == 0) {
      EXPECT_NE(c.item, t.item);
      continue;
    }
    EXPECT_EQ(c.item, t.item);
    EXPECT_EQ(c.size, t.size);
    EXPECT_EQ(c.rating, t.rating);
  }
}

TEST(ContainerMeasures, DatabasesAreTellApartByByte36AndRunToTheNextHeader) {
  for (const auto& [kind, item] : {std::pair<std::uint8_t, int>{1, 7}, {2, 6}}) {
    Buf b(4096);
    b.Text(0, std::string("\x01\x0F\x00\x00\x08", 5)).U8(36, kind);
    Buf after(65536);
    after.Text(8192 - 4096 + 0, "MSCF").Le32(8192 - 4096 + 8, 600);  // a CAB 8 sectors after the database
    const auto finds = Carve(test::DiskWith(b.b, 4, after.b));
    const Carved* c = test::FindAt(finds, 4);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->item, item);
    EXPECT_EQ(c->size, 16u * 512);
    EXPECT_EQ(c->rating, kEstimate);
  }
  Buf wrong(4096);
  wrong.Text(0, std::string("\x01\x0F\x00\x00\x08", 5)).U8(36, 3);
  EXPECT_EQ(CarveOne(wrong.b).size, 0u);
}

// ---- ISO and own names --------------------------------------------------------

std::vector<std::uint8_t> IsoImage(std::string_view volumeId, std::uint32_t blocks) {
  Buf b(static_cast<std::size_t>(blocks) * 2048);
  b.Text(32768, "\x01" "CD001\x01").Fill(32768 + 40, 32, ' ').Text(32768 + 40, volumeId);
  b.Le32(32768 + 80, blocks).Be32(32768 + 84, blocks).Le16(32768 + 128, 2048).Be16(32768 + 130, 2048);
  return b.b;
}

TEST(ContainerMeasures, IsoIsNamedByItsVolumeThroughTheNameSafetyRule) {
  const struct {
    std::string_view id;
    std::u16string name;  // empty: named by its serial
  } cases[] = {
      {"BACKUP_2019", u"BACKUP_2019.iso"},
      {"A/B\\C\x01", u"A_B_C_.iso"},
      {"", u""},
      {"..", u""},  // a name starting with a dot is never used
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(std::string(t.id));
    const Carved c = CarveOne(IsoImage(t.id, 40));
    EXPECT_EQ(c.size, 40u * 2048);
    EXPECT_EQ(c.rating, kIntact);
    if (t.name.empty()) EXPECT_EQ(c.item, item::kIso);
    else EXPECT_EQ(c.name, t.name);
  }
}

TEST(ContainerMeasures, IsoPastFourGibIsCappedAsAnEstimate) {
  Buf b(34816);
  b.Text(32768, "\x01" "CD001\x01").Fill(32768 + 40, 32, ' ').Text(32768 + 40, "DVD");
  b.Le32(32768 + 80, 2300000).Le16(32768 + 128, 2048);  // 4.7 GB
  const Carved c = CarveOne(b.b);
  EXPECT_EQ(c.name, u"DVD.iso");
  EXPECT_EQ(c.size, 0xFFFFF800u);
  EXPECT_EQ(c.rating, kEstimate);
}

// ---- PITy documents -------------------------------------------------------------

TEST(ContainerMeasures, PityTextIndexNamedByItsYearAndEndedByABlankLineCrafted) {
  const struct {
    std::string body;
    std::u16string name;
    std::uint32_t size;
    std::uint8_t rating;
  } cases[] = {
      {"wersja=PIT-2012ng\r\nx=1\r\n\r\nrest", u"PITY2012NG.index", 13 + 26, kIntact},
      {"wersja=pit2014NG;;;;\r\n\r\n", u"PITY2014NG.index", 13 + 24, kIntact},
      {"wersja=2013\r\nno blank line", u"PITY2013NG.index", 1024, kEstimate},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.body);
    Buf b(512);
    b.Fill(0, 512, 'z').Text(0, "[podatnicy]\r\n" + t.body);
    const Carved c = CarveOne(b.b);
    EXPECT_EQ(c.name, t.name);
    EXPECT_EQ(c.size, t.size);
    EXPECT_EQ(c.rating, t.rating);
  }
}

TEST(ContainerMeasures, PityBinaryReadsItsDataLengthAndRetypesTextZCrafted) {
  for (const bool textZ : {false, true}) {
    std::string s = "\xFF\xFF\xFF" "F3I_V_1.0.0" "x" "123" ";" "  ";
    s += textZ ? "F3I_TextZ" : "F3I_Other";
    s += std::string(18 - 9, '.');
    s += "77 500 abc \n";
    const std::size_t first = s.size();  // the first character after the blanks
    s += "DATA";
    Buf b(1024);
    b.Text(0, s);
    const Carved c = CarveOne(b.b);
    EXPECT_EQ(c.item, textZ ? 84 : 85);
    EXPECT_EQ(c.size, 500 + first + 15);
    EXPECT_EQ(c.rating, kIntact);
  }
  Buf broken(1024);
  broken.Text(0, "\xFF\xFF\xFF" "F3I_V_1.0.0" "x1;" + std::string(20, ' '));
  const Carved c = CarveOne(broken.b);
  EXPECT_EQ(c.size, 33554432u);
  EXPECT_EQ(c.rating, kEstimate);
}

// ---- Executables ------------------------------------------------------------------

std::vector<std::uint8_t> Icl(std::uint32_t names) {
  Buf b(1026);
  b.Text(0, "MZ").Le32(4, 0).Le32(60, 0x80).Text(0x80, "NE").Le16(0x80 + 36, 0x40);
  std::size_t at = 0xC0;
  b.Le16(at, 4);  // alignment shift
  at += 2;
  b.Le16(at, 0x800E).Le16(at + 2, 1);
  at += 8 + 12;
  b.Le16(at, 0x8003).Le16(at + 2, 2).Le16(at + 8, 0x20).Le16(at + 10, 0x08).Le16(at + 20, 0x30).Le16(at + 22, 0x10);
  at += 8 + 24;
  b.Le16(at, 0).Le32(at + 2, names);
  return b.b;
}

TEST(ContainerMeasures, MzRowsInTheirOrderCrafted) {
  // A 16-bit icon library: its last icon ends the file.
  Carved c = CarveOne(Icl(0x4C434903u));
  EXPECT_EQ(c.item, 67);
  EXPECT_EQ(c.size, (0x30u << 4) + (0x10u << 4) + 2);
  // Other resource names: not an icon library; no PE header, so an estimate as EXE.
  c = CarveOne(Icl(0x41424344u));
  EXPECT_EQ(c.item, 66);
  EXPECT_EQ(c.size, 1048576u);
  EXPECT_EQ(c.rating, kEstimate);
  // An old DOS program.
  Buf dos(2048);
  dos.Text(0, "MZ").Le16(2, 0x90).Le16(4, 3).Le16(10, 1).Le16(12, 0xFFFF).Le32(60, 0);
  c = CarveOne(dos.b);
  EXPECT_EQ(c.item, 66);
  EXPECT_EQ(c.size, 1048576u);
  EXPECT_EQ(c.rating, kEstimate);
  // An MZ that is neither: all three rows reject it.
  Buf none(2048);
  none.Text(0, "MZ").Le16(4, 3).Le32(60, 5000);
  c = CarveOne(none.b);
  EXPECT_TRUE(c.size == 0 || (c.item != 65 && c.item != 66 && c.item != 67));
}

std::vector<std::uint8_t> Pe32(bool dll, std::uint16_t sections) {
  Buf b(0x400 + 0x200 * sections);
  b.Text(0, "MZ").Le16(4, 3).Le32(60, 0x80).Text(0x80, std::string("PE\0\0", 4));
  b.Le16(0x80 + 4, 0x14C).Le16(0x80 + 6, sections).Le16(0x80 + 20, 0xE0).Le16(0x80 + 22, dll ? 0x2102 : 0x0102);
  const std::size_t table = 0x80 + 24 + 0xE0;
  for (std::uint16_t i = 0; i < sections; ++i) {
    b.Le32(table + 40 * i + 16, 0x200);               // SizeOfRawData
    b.Le32(table + 40 * i + 20, 0x400 + 0x200 * i);   // PointerToRawData
  }
  return b.b;
}

TEST(ContainerMeasures, A32BitDllFallsThroughIconLibraryAndExeCrafted) {
  Carved c = CarveOne(Pe32(true, 3));
  EXPECT_EQ(c.item, 65);
  EXPECT_EQ(c.size, 0x400u + 3 * 0x200);
  c = CarveOne(Pe32(false, 2));
  EXPECT_EQ(c.item, 66);
  EXPECT_EQ(c.size, 0x400u + 2 * 0x200);
  EXPECT_EQ(c.rating, kIntact);
  // Appended data is not counted.
  auto withOverlay = Pe32(false, 2);
  withOverlay.resize(withOverlay.size() + 3000, 0x77);
  EXPECT_EQ(CarveOne(withOverlay).size, 0x400u + 2 * 0x200);
}

// ---- Compound files -------------------------------------------------------------

// A compound file of 512-byte sectors: sector 0 holds `first`, sector 1 the
// FAT, sector 2 the directory with the given names after the root.
std::vector<std::uint8_t> Cfb(std::uint32_t first, const std::vector<std::u16string>& names) {
  Buf b(512 * 4);
  b.Text(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1").Le16(24, 0x3E).Le16(26, 3).Le16(28, 0xFFFE).Le16(30, 9).Le16(32, 6);
  b.Le32(44, 1).Le32(48, 2).Le32(60, 0xFFFFFFFE).Le32(68, 0xFFFFFFFE).Le32(72, 0);
  b.Fill(76, 436, 0xFF).Le32(76, 1);
  b.Le32(512, first);
  b.Fill(1024, 512, 0xFF).Le32(1024, 0xFFFFFFFE).Le32(1028, 0xFFFFFFFD).Le32(1032, 0xFFFFFFFE);
  b.Utf16(1536, u"Root Entry").Le16(1536 + 64, 22).U8(1536 + 66, 5);
  for (std::size_t i = 0; i < names.size() && i < 3; ++i) {
    const std::size_t e = 1536 + 128 * (i + 1);
    b.Utf16(e, names[i]).Le16(e + 64, static_cast<std::uint16_t>(2 * names[i].size() + 2)).U8(e + 66, 2);
  }
  return b.b;
}

TEST(ContainerMeasures, CompoundFileSubTypesAndExactEndCrafted) {
  const struct {
    std::uint32_t first;
    std::u16string name;
    int item;
  } cases[] = {
      {0x00C1A5EC, u"Anything", 107},  // a Word file-information block in sector 0 decides
      {0x0068A5DC, u"Book", 107},
      {0xF01D46A0, u"", 106},
      {0x00100809, u"", 105},
      {0, u"Contents", 95},
      {0, u"PowerPoint Document", 106},
      {0, u"PP97_DUALSTORAGE", 106},
      {0, std::u16string(1, char16_t{0x4840}) + u"abc", 101},
      {0, u"PropData", 104},
      {0, u"Scene", 103},
      {0, u"Catalog", 99},
      {0, u"VisioDocument", 102},
      {0, u"WordDocument", 107},
      {0, u"StrIndex_StringTable", 100},
      {0, u"Book", 105},
      {0, u"CUFolder 1", 98},
      {0, u"Workbook", 64},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(std::string(t.name.begin(), t.name.end()));
    const Carved c = CarveOne(Cfb(t.first, t.name.empty() ? std::vector<std::u16string>{} : std::vector{t.name}));
    EXPECT_EQ(c.item, t.item);
    EXPECT_EQ(c.size, 2048u) << "header and three sectors";
    EXPECT_EQ(c.rating, kIntact);
  }
}

TEST(ContainerMeasures, CompoundFileCountsAndHostileHeadersCrafted) {
  // Two FAT sectors listed, the second one empty: the end cannot be told, the
  // count of FAT sectors bounds it.
  auto two = Cfb(0, {u"Other"});
  Buf b;
  b.b = two;
  b.Le32(44, 2).Le32(80, 3).Fill(2048, 512, 0xFF);
  Carved c = CarveOne(b.b);
  EXPECT_EQ(c.size, 2u * 65536);
  EXPECT_EQ(c.rating, kEstimate);
  // More DIFAT sectors than any file has: a count of 16.
  b.b = two;
  b.Le32(72, 5000);
  c = CarveOne(b.b);
  EXPECT_EQ(c.size, 16u * 65536);
  EXPECT_EQ(c.rating, kEstimate);
  // A DIFAT chain: 109 header entries plus those of the DIFAT sector.
  Buf d(512 * 8);
  d.b = Cfb(0, {u"Other"});
  d.Fit(512 * 8);
  d.Fill(76, 436, 0).Le32(72, 1).Le32(68, 3);  // header entries all "sector 0"; DIFAT in sector 3
  d.Fill(512 * 4, 512, 0xFF).Le32(512 * 4, 5).Le32(512 * 4 + 4, 4);  // two more FAT sectors; the last is 4
  d.Fill(512 * 5, 512, 0xFF).Le32(512 * 5, 0xFFFFFFFE);                // FAT sector 4: its first entry used
  c = CarveOne(d.b);
  EXPECT_EQ(c.size, (110u * 128 + 0 + 2) * 512) << "the first sector the 111th FAT sector covers";
  // A sector shift no compound file has: rejected, nothing read.
  b.b = two;
  b.Le16(30, 40);
  c = CarveOne(b.b);
  EXPECT_TRUE(c.size == 0 || c.item != 64);
}

// ---- ZIP ------------------------------------------------------------------------

// A ZIP of stored entries, each named and holding `data`.
std::vector<std::uint8_t> Zip(const std::vector<std::pair<std::string, std::string>>& entries, bool descriptor = false) {
  Buf b;
  std::size_t at = 0;
  std::vector<std::size_t> offsets;
  for (const auto& [name, data] : entries) {
    offsets.push_back(at);
    b.Text(at, "PK\x03\x04").Le16(at + 4, 10).Le16(at + 6, descriptor ? 8 : 0);
    b.Le32(at + 18, descriptor ? 0 : static_cast<std::uint32_t>(data.size()));
    b.Le32(at + 22, descriptor ? 0 : static_cast<std::uint32_t>(data.size()));
    b.Le16(at + 26, static_cast<std::uint16_t>(name.size())).Text(at + 30, name).Text(at + 30 + name.size(), data);
    at += 30 + name.size() + data.size();
    if (descriptor) {
      b.Text(at, "PK\x07\x08").Le32(at + 8, static_cast<std::uint32_t>(data.size()));
      at += 16;
    }
  }
  const std::size_t cd = at;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    b.Text(at, "PK\x01\x02").Le32(at + 20, static_cast<std::uint32_t>(entries[i].second.size()));
    b.Le16(at + 28, static_cast<std::uint16_t>(entries[i].first.size())).Le32(at + 42, static_cast<std::uint32_t>(offsets[i]));
    b.Text(at + 46, entries[i].first);
    at += 46 + entries[i].first.size();
  }
  b.Text(at, "PK\x05\x06").Le16(at + 10, static_cast<std::uint16_t>(entries.size())).Le32(at + 16, static_cast<std::uint32_t>(cd));
  b.Le16(at + 20, 5).Text(at + 22, "hello");
  return b.b;
}

// "[Content_Types].xml" first, then more than 32 records before "word/": the
// record tests end before anything names the package a document.
std::vector<std::pair<std::string, std::string>> DocxWithWordFurtherOn() {
  std::vector<std::pair<std::string, std::string>> e = {{"[Content_Types].xml", std::string(600, ' ')}};
  for (int i = 0; i < 40; ++i) e.emplace_back("f" + std::to_string(100 + i) + ".txt", std::string(20, 'f'));
  e.emplace_back("word/document.xml", "x");
  return e;
}

TEST(ContainerMeasures, ZipRecordWalkAndSubTypesCrafted) {
  const std::string ct = "<Types><Override PartName=\"/word/document.xml\"/></Types>";
  const struct {
    const char* label;
    std::vector<std::pair<std::string, std::string>> entries;
    int item;
  } cases[] = {
      {"docx", {{"[Content_Types].xml", ct}, {"word/document.xml", "x"}}, 110},
      {"docx whose word/ lies further on", DocxWithWordFurtherOn(), 70},
      {"folder entry of no data", {{"dir/", ""}, {"dir/a.txt", "abc"}}, 70},
      {"idml", {{"mimetype", "application/vnd.adobe.indesign-idml-package"}}, 96},
      {"xfl", {{"mimetype", "x"}, {"doc.xfl", "y"}}, 95},
      {"artx", {{"Header/universalpositioningX", "1"}}, 97},
      {"corel", {{"mimetype", "application/x-vnd.corel.draw.document+zip"}}, 38},
      {"xps by its job ticket", {{"Metadata/Job_PT.xml", "t"}}, 112},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.label);
    const auto zip = Zip(t.entries);
    const Carved c = CarveOne(zip);
    EXPECT_EQ(c.item, t.item);
    EXPECT_EQ(c.size, zip.size());
    EXPECT_EQ(c.rating, kIntact);
  }
  // Sizes kept behind the data in descriptors: the ZIP row does not report it.
  const Carved streamed = CarveOne(Zip({{"a.txt", "abc"}}, true));
  EXPECT_TRUE(streamed.size == 0 || streamed.item != 70);
}

TEST(ContainerMeasures, ZipIsSkippedWholeSoItsContentIsNotFoundAgainCrafted) {
  // A stored CAB inside the ZIP, on a sector boundary: not a find of its own.
  std::string inner(2048 - 30 - 5, 'q');
  Buf cab(1024);
  cab.Text(0, "MSCF").Le32(8, 1024);
  const std::string cabText(cab.b.begin(), cab.b.end());
  const auto zip = Zip({{"a.bin", inner + cabText}});
  const auto finds = Carve(test::DiskWith(zip));
  ASSERT_NE(test::FindAt(finds, 4), nullptr);
  EXPECT_EQ(test::FindAt(finds, 4)->size, zip.size());
  for (const Carved& c : finds) EXPECT_NE(c.item, 68) << "at sector " << c.firstSector;
}

// ---- RAR and ACE ---------------------------------------------------------------

std::vector<std::uint8_t> Rar(std::uint32_t packed, bool end) {
  Buf b;
  b.Text(0, std::string("Rar!\x1A\x07\x00", 7));
  b.Le16(7, 0x90CF).U8(9, 0x73).Le16(10, 0).Le16(12, 13);  // main header, 13 bytes
  const std::size_t f = 20;
  b.Le16(f, 0).U8(f + 2, 0x74).Le16(f + 3, 0x8000).Le16(f + 5, 32 + 5).Le32(f + 7, packed);
  b.Le16(f + 26, 5).Text(f + 32, "a.txt").Fill(f + 37, packed, 0x5A);
  if (end) b.Le16(f + 37 + packed, 0x3DC4).U8(f + 37 + packed + 2, 0x7B).Le16(f + 37 + packed + 3, 0x4000).Le16(f + 37 + packed + 5, 7);
  return b.b;
}

TEST(ContainerMeasures, RarStopsBeforeItsEndBlockCrafted) {
  Carved c = CarveOne(Rar(3000, true));
  EXPECT_EQ(c.item, 69);
  EXPECT_EQ(c.size, 20u + 37 + 3000);
  // The later format shares "Rar!" but not the marker block.
  Buf rar5;
  rar5.Text(0, std::string("Rar!\x1A\x07\x01\x00", 8)).Fill(8, 600, 0x33);
  c = CarveOne(rar5.b);
  EXPECT_TRUE(c.size == 0 || c.item != 69);
}

std::vector<std::uint8_t> Ace(std::string_view name) {
  Buf b;
  const std::uint16_t mainSize = 40;
  b.Le16(0, 0).Le16(2, mainSize).U8(4, 0).Le16(5, 0).Text(7, "**ACE**");
  std::size_t at = 4 + mainSize;
  for (int i = 0; i < 2; ++i) {
    const std::uint16_t head = static_cast<std::uint16_t>(31 + name.size());
    b.Le16(at, 0).Le16(at + 2, head).U8(at + 4, 1).Le16(at + 5, 0).Le32(at + 7, 1000);
    b.Le16(at + 33, static_cast<std::uint16_t>(name.size())).Text(at + 35, name).Fill(at + 4 + head, 1000, 0x61);
    at += 4 + head + 1000;
  }
  return b.b;
}

TEST(ContainerMeasures, AceWalksItsFileBlocksCrafted) {
  Carved c = CarveOne(Ace("a.txt"));
  EXPECT_EQ(c.item, 43);
  EXPECT_EQ(c.size, 44u + 2 * (4 + 36 + 1000));
  // A name holding a zero byte ends the walk with what was counted.
  c = CarveOne(Ace(std::string_view("a\0b", 3)));
  EXPECT_EQ(c.size, 44u);
}

// ---- PDF ---------------------------------------------------------------------------

// A small PDF writer: one page, then `updates` incremental updates, each
// appending an object, its cross-reference section and its own "%%EOF".
std::string Pdf(int updates, std::string_view eol = "\n", std::string_view extra = "") {
  std::string s = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::string body = "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                     "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
                     "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >>\nendobj\n";
  s += std::string(extra) + body;
  std::size_t xref = s.size();
  s += "xref\n0 4\n0000000000 65535 f \ntrailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) +
       "\n%%EOF" + std::string(eol);
  for (int u = 0; u < updates; ++u) {
    const std::size_t obj = s.size();
    s += "4 0 obj\n<< /Update " + std::to_string(u) + " >>\nendobj\n";
    xref = s.size();
    s += "xref\n4 1\n" + std::string(10 - std::to_string(obj).size(), '0') + std::to_string(obj) +
         " 00000 n \ntrailer\n<< /Size 5 /Root 1 0 R /Prev 9 >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF" +
         std::string(eol);
  }
  return s;
}

std::vector<std::uint8_t> Bytes8(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

TEST(ContainerMeasures, PdfEndsAtItsLastEofAndIsAlwaysAnEstimate) {
  for (const int updates : {0, 1, 3}) {
    for (const std::string_view eol : {"\n", "\r\n", "\r"}) {
      SCOPED_TRACE(testing::Message() << updates << " updates, eol " << eol.size());
      const auto pdf = Bytes8(Pdf(updates, eol));
      const Carved c = CarveOne(pdf);
      EXPECT_EQ(c.item, 71);
      EXPECT_EQ(c.size, pdf.size());
      EXPECT_EQ(c.rating, kEstimate);
    }
  }
}

TEST(ContainerMeasures, PdfLengthEntryIllustratorAndFallbacks) {
  // A linearised file's /L entry is taken as it stands.
  Carved c = CarveOne(Bytes8(Pdf(0, "\n", "1 0 obj\n<< /Linearized 1 /L 123456 /H [1 2] >>\nendobj\n")));
  EXPECT_EQ(c.size, 123456u);
  // Written by Illustrator: re-typed.
  c = CarveOne(Bytes8(Pdf(0, "\n", "<x:xmpmeta><xmp:CreatorTool>Adobe Illustrator 27</xmp:CreatorTool>\n")));
  EXPECT_EQ(c.item, 25);
  // No end marker, then blank space: 1 KiB past where the blank begins.
  c = CarveOne(Bytes8("%PDF-1.4\n" + std::string(3000, 'x')));
  EXPECT_EQ(c.size, 9u + 3000 + 1024);
  // No end marker and no blank space within 12 MiB: 10 MiB.
  std::vector<std::uint8_t> noisy(13u << 20, 'y');
  const auto head = Bytes8("%PDF-1.4\n");
  std::copy(head.begin(), head.end(), noisy.begin());
  c = CarveOne(noisy, {});
  EXPECT_EQ(c.size, 10u << 20);
  EXPECT_EQ(c.rating, kEstimate);
}

TEST(ContainerMeasures, APdfFollowedByAnotherEndsWhereTheNextBegins) {
  auto first = Bytes8(Pdf(1));
  first.resize((first.size() + 511) / 512 * 512, 'w');  // no blank space between them
  const auto second = Bytes8(Pdf(0));
  auto after = second;
  after.resize(after.size() + 65536, 0);
  const auto finds = Carve(test::DiskWith(first, 4, after));
  ASSERT_NE(test::FindAt(finds, 4), nullptr);
  EXPECT_EQ(test::FindAt(finds, 4)->size, Bytes8(Pdf(1)).size());
  const Carved* c = test::FindAt(finds, 4 + first.size() / 512);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->size, second.size());
}

// ---- ISO base media ---------------------------------------------------------------

TEST(ContainerMeasures, MediaBoxesSumTheTopLevelBoxesCrafted) {
  Buf b;
  b.Be32(0, 24).Text(4, "ftypisom").Be32(12, 0x200).Text(16, "isommp41");
  b.Be32(24, 8).Text(28, "free");
  b.Be32(32, 1000).Text(36, "mdat").Fill(40, 992, 0x80);
  b.Be32(1032, 100).Text(1036, "moov").Fill(1040, 92, 0x01);
  Buf next;  // another file right behind: its first box does not join this one
  next.Be32(0, 24).Text(4, "ftypisom").Be32(12, 0x200).Text(16, "isommp41").Fit(4096);
  const Carved c = CarveOne(b.b, next.b);
  EXPECT_EQ(c.item, 32);
  EXPECT_EQ(c.size, 1132u);
  EXPECT_EQ(c.rating, kEstimate);
  // A 64-bit box size (32-bit field 1) ends the walk.
  Buf large = b;
  large.Be32(32, 1);
  EXPECT_EQ(CarveOne(large.b).size, 32u);
  // "moov" first: a MOV.
  Buf mov;
  mov.Be32(0, 768).Text(4, "moov").Fill(8, 760, 0x01);
  EXPECT_EQ(CarveOne(mov.b).item, 31);
}

// Cut short or with bytes overwritten, the walked formats are rejected or
// measured no longer than they were, unless the size is marked an estimate.
TEST(ContainerMeasures, TruncatedAndDamagedCraftedSamplesAreRejectedOrCapped) {
  const struct {
    const char* label;
    std::vector<std::uint8_t> file;
  } samples[] = {
      {"zip", Zip({{"a.txt", std::string(3000, 'a')}, {"b.txt", std::string(2000, 'b')}})},
      {"rar", Rar(3000, true)},
      {"ace", Ace("a.txt")},
      {"cfb", Cfb(0x00C1A5EC, {})},
      {"exe", Pe32(false, 3)},
      {"icl", Icl(0x4C434903u)},
      {"pdf", Bytes8(Pdf(2))},
  };
  std::mt19937 rng(7);
  for (const auto& s : samples) {
    for (int round = 0; round < 16; ++round) {
      SCOPED_TRACE(testing::Message() << s.label << " round " << round);
      std::vector<std::uint8_t> copy = s.file;
      if (round < 8) {
        copy.resize(s.file.size() * (round + 1) / 9);
      } else {
        for (int k = 0; k < 8; ++k) copy[rng() % copy.size()] = static_cast<std::uint8_t>(rng());
      }
      const Carved c = CarveOne(copy);
      if (round < 8 && c.size && c.rating == kIntact) {
        EXPECT_LE(c.size, s.file.size());
      }
    }
  }
}

}  // namespace
}  // namespace kestrova
