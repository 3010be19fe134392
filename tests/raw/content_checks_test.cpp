#include "raw/content_checks.h"
#include "support/crafted.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kestrova {
namespace {

std::vector<std::uint8_t> Sector(std::string_view start) {
  std::vector<std::uint8_t> s(512, 0);
  std::memcpy(s.data(), start.data(), start.size());
  return s;
}

TEST(ContentChecks, TableChoosesByExtensionIgnoringCase) {
  EXPECT_NE(ContentCheckFor(u"photo.JPG"), nullptr);
  EXPECT_EQ(ContentCheckFor(u"photo.jpg"), ContentCheckFor(u"X.Jpg"));
  EXPECT_EQ(ContentCheckFor(u"a.docx"), ContentCheckFor(u"a.zip")) << "one check serves both";
  EXPECT_EQ(ContentCheckFor(u"page.html"), nullptr) << "only HTM is in the table";
  EXPECT_EQ(ContentCheckFor(u"noext"), nullptr);
  EXPECT_EQ(ContentCheckFor(u"trailingdot."), nullptr);
  EXPECT_EQ(ContentCheckFor(u""), nullptr);
  EXPECT_EQ(ContentCheckFor(u"archive.tar.gz"), nullptr);
}

TEST(ContentChecks, HeadersAndSizes) {
  auto bmp = Sector("BM");
  test::PutLe32(bmp.data() + 2, 1234);
  EXPECT_TRUE(HeaderMatches(u"bmp", bmp, 1234));
  EXPECT_FALSE(HeaderMatches(u"bmp", bmp, 1235)) << "the size must agree";
  EXPECT_FALSE(HeaderMatches(u"bmp", bmp, 0x100000000ull + 1234)) << "a size beyond 32 bits never agrees";
  auto exe = Sector("MZ");
  test::PutLe16(exe.data() + 60, 128);
  std::memcpy(exe.data() + 128, "PE", 2);
  EXPECT_TRUE(HeaderMatches(u"dll", exe, 5000));
  test::PutLe16(exe.data() + 60, 0xFFFF);  // beyond the sector: no crash, no match
  EXPECT_FALSE(HeaderMatches(u"exe", exe, 5000));
  auto wav = Sector(std::string_view("RIFF\0\0\0\0WAVE", 12));
  test::PutLe32(wav.data() + 4, 992);
  EXPECT_TRUE(HeaderMatches(u"wav", wav, 1000));
  EXPECT_FALSE(HeaderMatches(u"s3m", Sector("SCRM"), 100)) << "S3M never accepts";
  const char kXml16[] = "<\0?\0x\0m\0l\0";
  EXPECT_TRUE(HeaderMatches(u"xml", Sector(std::string_view(kXml16, 10)), 100));
  EXPECT_TRUE(HeaderMatches(u"xsd", Sector("<?xml version"), 100));
  auto mov = Sector(std::string_view("\x10\0\0\0moov", 8));
  EXPECT_TRUE(HeaderMatches(u"mov", mov, 16));
  EXPECT_FALSE(HeaderMatches(u"mov", mov, 17));
  EXPECT_TRUE(HeaderMatches(u"mov", Sector(std::string_view("\0\0\0\0mdat", 8)), 17));
}

TEST(ContentChecks, TextKindsNeedTextAndAKeyword) {
  EXPECT_TRUE(HeaderMatches(u"c", Sector("/* main */\nint x;"), 17));
  EXPECT_TRUE(HeaderMatches(u"c", Sector("int main(void)\n{ char c; }"), 26));
  EXPECT_FALSE(HeaderMatches(u"c", Sector("just words here"), 15));
  auto binary = Sector("#include <x>\x01");
  EXPECT_FALSE(HeaderMatches(u"c", binary, 13)) << "a control byte is not text";
  EXPECT_TRUE(HeaderMatches(u"cpp", Sector("class Foo {};"), 13));
  EXPECT_TRUE(HeaderMatches(u"bat", Sector("@ECHO OFF\r\nPAUSE"), 16)) << "keywords ignore case";
  EXPECT_TRUE(HeaderMatches(u"ini", Sector("[main]\r\nkey=1"), 13));
  EXPECT_TRUE(HeaderMatches(u"htm", Sector("<!doctype html>"), 15));
  // Only the first L bytes (the file size) count.
  EXPECT_FALSE(HeaderMatches(u"bat", Sector("xx @echo"), 3));
}

class TailCheck : public ::testing::Test {
 protected:
  test::MemDevice mem{test::Image(64 * 512, 0)};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> marked;
  void SetUp() override {
    mem.device.GeometryForMount().sectorsPerCluster = 2;
    mem.device.GeometryForMount().clusterBase = 4 - 2 * 2;  // cluster 2 at sector 4
  }
  bool Run(std::u16string_view name, std::uint64_t cluster, CheckedFile& file) {
    CheckContext ctx{mem.device, [&](std::uint64_t a, std::uint64_t n) { marked.push_back({a, n}); }};
    std::vector<std::uint8_t> buffer(512);
    return RunContentCheck(ContentCheckFor(name), ctx, cluster, file, buffer);
  }
};

TEST_F(TailCheck, PdfEndingWithItsEndCommentIsTailVerified) {
  // Cluster 3 = sectors 6, 7; a 1500-byte PDF runs into sector 8.
  std::memcpy(mem.at(6), "%PDF-1.7", 8);
  std::memcpy(mem.at(6) + 1500 - 4, "EOF\n", 4);
  CheckedFile pdf{1500};
  EXPECT_TRUE(Run(u"r.pdf", 3, pdf));
  EXPECT_TRUE(pdf.tailVerified);
  ASSERT_EQ(marked.size(), 1u);
  EXPECT_EQ(marked[0], std::make_pair(std::uint64_t{3}, std::uint64_t{2}));

  std::memcpy(mem.at(6) + 1500 - 4, "EOF ", 4);
  CheckedFile other{1500};
  EXPECT_TRUE(Run(u"r.pdf", 3, other)) << "accepted without the mark";
  EXPECT_FALSE(other.tailVerified);
  EXPECT_EQ(marked.size(), 1u);

  // A file within one sector is tested at its own last bytes.
  std::memcpy(mem.at(10), "{\\rtf1 x}", 9);
  CheckedFile rtf{9};
  EXPECT_TRUE(Run(u"n.rtf", 5, rtf));
  EXPECT_TRUE(rtf.tailVerified);
  CheckedFile jpg{100};
  EXPECT_FALSE(Run(u"p.jpg", 5, jpg)) << "the header decides acceptance";
}

TEST_F(TailCheck, ThreeDsTailNeedsTwoEqualWordsNeitherZeroNorAllOnes) {
  std::memcpy(mem.at(6), "MM", 2);
  test::PutLe32(mem.at(6) + 2, 600);
  test::PutLe32(mem.at(6) + 592, 7);
  test::PutLe32(mem.at(6) + 596, 7);
  CheckedFile ok{600};
  EXPECT_TRUE(Run(u"m.3ds", 3, ok));
  EXPECT_TRUE(ok.tailVerified);
  test::PutLe32(mem.at(6) + 592, 0xFFFFFFFF);
  test::PutLe32(mem.at(6) + 596, 0xFFFFFFFF);
  CheckedFile ones{600};
  EXPECT_TRUE(Run(u"m.3ds", 3, ones));
  EXPECT_FALSE(ones.tailVerified);
}

}  // namespace
}  // namespace kestrova
