// The imaging map: runs that join and split, the ddrescue mapfile text read
// back as written, and hostile map files refused with a reason.
#include "imaging/image_map.h"

#include <gtest/gtest.h>

namespace kestrova {
namespace {

TEST(ImageMap, SetSplitsAndJoinsRuns) {
  ImageMap map(100);
  map.Set(10, 5, MapStatus::Good);
  map.Set(0, 10, MapStatus::Good);   // joins the run after it
  map.Set(12, 1, MapStatus::Bad);    // splits it
  map.Set(90, 50, MapStatus::Bad);   // clipped at the end
  map.Set(100, 5, MapStatus::Good);  // wholly outside: nothing
  const std::vector<MapRun> expected = {{0, 12, MapStatus::Good}, {12, 1, MapStatus::Bad}, {13, 2, MapStatus::Good},
                                        {15, 75, MapStatus::Untried}, {90, 10, MapStatus::Bad}};
  EXPECT_EQ(map.Runs(), expected);
  map.Set(12, 1, MapStatus::Good);
  map.Set(15, 75, MapStatus::Good);
  const std::vector<MapRun> joined = {{0, 90, MapStatus::Good}, {90, 10, MapStatus::Bad}};
  EXPECT_EQ(map.Runs(), joined);
  EXPECT_EQ(map.Count(MapStatus::Bad), 10u);
  EXPECT_EQ(map.StatusOf(95), MapStatus::Bad);
  EXPECT_EQ(map.StatusOf(89), MapStatus::Good);
}

TEST(ImageMap, FormattedMapReadsBackTheSame) {
  ImageMap map(4096);
  map.Set(0, 1000, MapStatus::Good);
  map.Set(7, 1, MapStatus::Bad);
  map.Set(2000, 3, MapStatus::Bad);
  for (std::uint32_t ss : {512u, 4096u}) {
    const std::string text = FormatImageMap(map, ss, 2003, false);
    ImageMap back;
    std::size_t line = 0;
    ASSERT_EQ(ParseImageMap(text, ss, 4096, back, line), MapParse::Ok) << text;
    EXPECT_EQ(back.Runs(), map.Runs());
  }
  const std::string text = FormatImageMap(map, 512, 2003, false);
  EXPECT_NE(text.find("0x00000E00  0x00000200  -"), std::string::npos) << text;  // sector 7 in bytes
}

TEST(ImageMap, ParsesMapsOfOtherToolsAndRefusesBrokenOnes) {
  struct Case {
    const char* name;
    std::string text;
    MapParse expected;
    std::size_t line;
  };
  const std::string head = "# comment\n0x0 ? 1\n";
  const Case cases[] = {
      {"status line only", head, MapParse::Ok, 0},
      {"decimal and hex, * and / count as bad", head + "0 1024 +\n0x400 0x200 *\n1536 512 /\n", MapParse::Ok, 0},
      {"status line without pass", "0x200 +\n0 0x400 +\n", MapParse::Ok, 0},
      {"no status line", "# only comments\n", MapParse::Syntax, 0},
      {"unknown status", head + "0 512 x\n", MapParse::Syntax, 3},
      {"too many fields", head + "0 512 + extra\n", MapParse::Syntax, 3},
      {"not a number", head + "zero 512 +\n", MapParse::Syntax, 3},
      {"overflowing number", head + "0 0x1FFFFFFFFFFFFFFFFF +\n", MapParse::Syntax, 3},
      {"gap", head + "0 512 +\n1024 512 +\n", MapParse::NotInOrder, 4},
      {"overlap", head + "0 1024 +\n512 512 +\n", MapParse::NotInOrder, 4},
      {"not from 0", head + "512 512 +\n", MapParse::NotInOrder, 3},
      {"empty block", head + "0 0 +\n", MapParse::NotInOrder, 3},
      {"unaligned", head + "0 100 +\n", MapParse::Unaligned, 3},
      {"past the source", head + "0 0x100000 +\n", MapParse::TooLarge, 3},
      {"wrapping sum", head + "0 512 +\n512 0xFFFFFFFFFFFFFE00 +\n", MapParse::TooLarge, 4},
  };
  for (const Case& c : cases) {
    ImageMap map;
    std::size_t line = 99;
    EXPECT_EQ(ParseImageMap(c.text, 512, 64, map, line), c.expected) << c.name;
    EXPECT_EQ(line, c.line) << c.name;
  }
  ImageMap map;
  std::size_t line = 0;
  ASSERT_EQ(ParseImageMap(head + "0 1024 +\n0x400 0x200 *\n1536 512 /\n", 512, 64, map, line), MapParse::Ok);
  const std::vector<MapRun> expected = {{0, 2, MapStatus::Good}, {2, 2, MapStatus::Bad}, {4, 60, MapStatus::Untried}};
  EXPECT_EQ(map.Runs(), expected);
}

}  // namespace
}  // namespace kestrova
