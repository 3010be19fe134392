// Text finds of the RAW scan's second pass: which sectors start a text, how
// far it runs, which row it is filed under and the names of project files.
#include "raw/text_detect.h"

#include "raw/raw_harness.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace kestrova {
namespace {

using namespace std::string_literals;
using test::Field;
using test::RawDisk;

std::string Utf16(std::string_view ascii, bool bom) {
  std::string out = bom ? "\xFF\xFE"s : ""s;
  for (char ch : ascii) {
    out.push_back(ch);
    out.push_back('\0');
  }
  return out;
}

std::string Repeat(std::string_view line, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += line;
  return out;
}

struct TextCase {
  const char* what;
  std::string text;
  std::uint16_t item;
  const char16_t* name;  // own name, or null for the auto-name
};

TEST(TextDetect, EachKindOfTextIsFiledUnderItsRowWithItsExactSize) {
  const std::vector<TextCase> cases = {
      {"C source", "/* sum */\n#include <stdio.h>\n\nint main(void)\n{\n" + Repeat("    printf(\"%d\\n\", 1 + 2);\n", 40) +
                       "    return 0;\n}\n",
       116, nullptr},
      {"C++ source", "#include \"stdafx.h\"\r\n\r\nclass Widget {\r\n public:\r\n  void Draw();\r\n};\r\n", 117, nullptr},
      {"C#", "using System;\r\nnamespace Demo\r\n{\r\n    public static class Program { static int M() => 1; }\r\n}\r\n", 113,
       nullptr},
      {"HTML", "<!DOCTYPE html>\n<html>\n<head><title>Home page</title></head>\n<body>\n" +
                   Repeat("<p>Some text of the page goes here.</p>\n", 30) + "</body>\n</html>\n",
       129, nullptr},
      {"PHP", "<?php\n  echo 'hello world';\n  $a = 1;\n?>\n", 128, nullptr},
      {"XML", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n  <item name=\"a\">1</item>\n</root>\n", 131,
       nullptr},
      {"property list",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict/>\n</plist>\n",
       120, nullptr},
      {"mail", "From: alice@example.org\r\nTo: bob@example.org\r\nSubject: Lunch\r\n\r\nSee you at noon.\r\n", 132,
       nullptr},
      {"registry export", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Demo]\r\n\"Value\"=\"1\"\r\n\r\n", 135, nullptr},
      {"batch file", "@echo off\r\nrem build it\r\ncall make.bat all\r\n", 134, nullptr},
      {"RTF", "{\\rtf1\\ansi\\deff0 {\\fonttbl {\\f0 Times;}}\r\n\\f0 Hello world and more words.\\par\r\n}\r\n",
       133, nullptr},
      {"Pascal unit", "unit Demo;\r\n\r\ninterface\r\n\r\nprocedure Run;\r\n\r\nimplementation\r\nend.\r\n", 115,
       nullptr},
      {"plain note", "Shopping list for the weekend:\n - bread\n - milk and eggs\n - three apples\n", 137, nullptr},
      {"solution file",
       "\r\nMicrosoft Visual Studio Solution File, Format Version 12.00\r\n# Visual Studio 15\r\n"
       "Project(\"{8BC9CEB8-8B4A-11D0-8D11-00A0C91BC942}\") = \"Demo\", \"Demo\\Demo.vcxproj\", "
       "\"{11111111-2222-3333-4444-555555555555}\"\r\nEndProject\r\nGlobal\r\nEndGlobal\r\n",
       125, u"Demo.sln"},
      {"VC project",
       "<?xml version=\"1.0\" encoding=\"Windows-1252\"?>\r\n<VisualStudioProject\r\n\tProjectType=\"Visual C++\"\r\n"
       "\tVersion=\"9.00\"\r\n\tName=\"Tool\"\r\n\tRootNamespace=\"Tool\"\r\n\t>\r\n</VisualStudioProject>\r\n",
       126, u"Tool.vcproj"},
      {"developer studio project",
       "# Microsoft Developer Studio Project File - Name=\"Old\" - Package Owner=<4>\r\n"
       "# Microsoft Developer Studio Generated Build File, Format Version 6.00\r\n# ** DO NOT EDIT **\r\n",
       123, u"Old.dsp"},
      {"developer studio workspace",
       "Microsoft Developer Studio Workspace File, Format Version 6.00\r\n"
       "# WARNING: DO NOT EDIT OR DELETE THIS WORKSPACE FILE!\r\n\r\n" + Repeat("#", 40) +
           "\r\n\r\nProject: \"Space\"=.\\Space.dsp - Package Owner=<4>\r\n\r\nPackage=<5>\r\n",
       124, u"Space.dsw"},
      {"UTF-16 registry export",
       Utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Demo]\r\n\"A\"=\"1\"\r\n", true),
       135, nullptr},
      {"UTF-16 XML", Utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<root>\r\n</root>\r\n", true), 131,
       nullptr},
      {"UTF-16 text over several sectors",
       Utf16(Repeat("A line of plain text in UTF-16, long enough.\r\n", 30), true), 136, nullptr},
      {"UTF-16 text without a byte-order mark", Utf16("Notes\r\nfirst line\r\nsecond line\r\n", false), 136,
       nullptr},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    RawDisk disk(64);
    disk.Put(8, c.text);
    disk.Scan(16);
    ScanEntry e{};
    ASSERT_TRUE(disk.FindAt(8, e));
    EXPECT_EQ(Field(e.size), c.text.size());
    EXPECT_EQ(e.rating, rating::kIntact);
    EXPECT_EQ(disk.map.Get(8), cluster_mark::kTextStart);
    const std::u16string name = disk.NameOf(e);
    if (c.name) {
      EXPECT_EQ(name, c.name);
    } else {
      EXPECT_EQ(e.RawSignature(), c.item);
      const ScanItem& row = disk.scanner.table()[c.item];
      EXPECT_EQ(name, u"000000001" + std::u16string(row.extension.begin(), row.extension.end()));
    }
    EXPECT_EQ(disk.Entries().size(), 1u) << "a followed text is skipped, not found again inside";
  }
}

TEST(TextDetect, SectorsThatAreNotTextAreRejected) {
  std::mt19937 rng(99);
  auto binaryPrintable = [&] {
    std::string s;
    while (s.size() < 512) {
      const auto ch = static_cast<char>(33 + rng() % 223);  // 33..255: no blanks, tabs or line breaks
      s.push_back(ch);
    }
    return s;
  };
  std::string noteThenBinary = Repeat("word ", 60);
  for (int i = 0; i < 212; ++i) noteThenBinary.push_back(static_cast<char>(1 + i % 7));
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"mostly printable binary", binaryPrintable() + binaryPrintable()},
      {"printable text without blanks or line breaks", std::string(512, 'x')},
      {"300 bytes of text followed by binary", noteThenBinary},
      {"file-system record", "FILE0" + Repeat("some text in a record ", 10)},
      {"three letters", "abc"},
      {"text with many equals signs", Repeat("a=b c\n", 12)},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    RawDisk disk(64);
    disk.Put(8, bytes);
    disk.Scan(16);
    ScanEntry e{};
    EXPECT_FALSE(disk.FindAt(8, e)) << "item " << e.RawSignature() << " size " << Field(e.size);
  }
}

TEST(TextDetect, FollowingStopsWhereANewFileBegins) {
  // A sector full of text, then a mail: two finds.
  RawDisk disk(64);
  const std::string first = Repeat("Lorem ipsum dolor sit amet, consectetur.\n", 13).substr(0, 512);
  ASSERT_EQ(first.size(), 512u);
  const std::string mail = "From: a@example.org\nTo: b@example.org\nSubject: hi\n\nhello there\n";
  disk.Put(8, first);
  disk.Put(9, mail);
  disk.Scan(16);
  ScanEntry a{}, b{};
  ASSERT_TRUE(disk.FindAt(8, a));
  ASSERT_TRUE(disk.FindAt(9, b));
  EXPECT_EQ(Field(a.size), 512u);
  EXPECT_EQ(a.RawSignature(), 137);
  EXPECT_EQ(Field(b.size), mail.size());
  EXPECT_EQ(b.RawSignature(), 132);

  // A 300-byte note padded with zeros is a find of 300 bytes.
  RawDisk note(32);
  const std::string text = Repeat("note text ", 30);
  note.Put(8, text);
  note.Scan(16);
  ScanEntry n{};
  ASSERT_TRUE(note.FindAt(8, n));
  EXPECT_EQ(Field(n.size), 300u);
  EXPECT_EQ(n.RawSignature(), 137);
}

TEST(TextDetect, ClassificationOrder) {
  auto item = [](std::string_view text) {
    const Bytes b(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return ClassifyAnsiText(b, text.size()).item;
  };
  EXPECT_EQ(item("data list list /x 1-2.\n"), 92);
  EXPECT_EQ(item("LWSC\r\n3\r\n\r\nFirstFrame 1\r\n"), 91);
  EXPECT_EQ(item("<x:xmpmeta xmlns:x='adobe:ns:meta/'>"), 131) << "xmlns within 96 decides first";
  EXPECT_EQ(item("<x:xmpmeta x='adobe:ns:meta/'>"), 130);
  EXPECT_EQ(item("<html><body>#include is text here</body></html>"), 129) << "HTML before C";
  EXPECT_EQ(item("MIME-Version: 1.0\r\nContent-Type: multipart/related; boundary=x\r\n"), 118);
  EXPECT_EQ(item("<?xml version=\"1.0\"?>\n<definitions xmlns:wsdl=\"http://schemas.xmlsoap.org/wsdl/\">"), 121);
  EXPECT_EQ(item("    \n\n  X-UIDL: 12345\r\nSubject: x\r\n"), 132);
  EXPECT_EQ(item(std::string(200, ' ') + "#include <x.h>"), 137) << "more than 128 leading blanks: no C test";
  const std::string utf16Reg = Utf16("Windows Registry Editor", true);
  EXPECT_EQ(ClassifyUnicodeText(Bytes(reinterpret_cast<const std::uint8_t*>(utf16Reg.data()), utf16Reg.size())), 135);
}

}  // namespace
}  // namespace kestrova
