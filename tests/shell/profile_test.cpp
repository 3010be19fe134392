#include "shell/profile.h"
#include "shell/app_settings.h"
#include "common/text.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

class ProfileFiles : public test::TempDirTest {
 protected:
  ProfileFiles() : TempDirTest("kestrova-profile") {}
  std::string Write(const std::string& name, const std::string& bytes) { return WriteFile(name, bytes); }
};

TEST(ProfileValues, PairsKeepFourCharactersAndSkipBlanks) {
  EXPECT_EQ(ParsePairValue(u" 12 , 34"), std::make_pair(12, 34));
  EXPECT_EQ(ParsePairValue(u"123456,7"), std::make_pair(1234, 7)) << "digits past the fourth are not read";
  EXPECT_EQ(ParsePairValue(u"\t-5,\t0x1F"), std::make_pair(-5, 31));
  EXPECT_EQ(ParsePairValue(u"8"), std::make_pair(8, 0));
  EXPECT_EQ(PairText(12, -34), u"12,-34");
}

TEST(ProfileValues, StringEscapes) {
  EXPECT_EQ(DecodeStringEscapes(u"two\u00A6lines"), u"two\r\nlines");
  EXPECT_EQ(DecodeStringEscapes(u"a|b|"), std::u16string(u"a\0b\0", 4)) << "a NUL-separated list";
  EXPECT_EQ(DecodeStringEscapes(u"say `hi`"), u"say \"hi\"");
  EXPECT_EQ(DecodeStringEscapes(u"a<t>b"), u"a\tb");
  EXPECT_EQ(DecodeStringEscapes(u"a<x>b"), u"ab") << "an unknown tag produces nothing";
  EXPECT_EQ(DecodeStringEscapes(u"end<"), u"end");
  EXPECT_EQ(DecodeStringEscapes(u"plain"), u"plain");
}

TEST(ProfileValues, BooleansColoursNumbers) {
  EXPECT_EQ(ParseBooleanValue(u"true"), 1);
  EXPECT_EQ(ParseBooleanValue(u"TRUE and more"), 1);
  EXPECT_EQ(ParseBooleanValue(u"TRU"), 0);
  EXPECT_EQ(ParseBooleanValue(u"yes"), 0);
  EXPECT_EQ(BooleanText(true), u"TRUE");
  EXPECT_EQ(ParseColourValue(u"#FF0000"), 0x0000FFu) << "red as a COLORREF";
  EXPECT_EQ(ParseColourValue(u"##13920D"), 0x0D9213u);
  EXPECT_EQ(ColourText(0x0000FF), u"#FF0000");
  EXPECT_EQ(ColourText(0x13920D), u"#0D9213");
  EXPECT_EQ(ParseIntegerValue(u"  42"), 42);
  EXPECT_EQ(ParseIntegerValue(u"0x10"), 16);
  EXPECT_EQ(ParseIntegerValue(u"010"), 8) << "%i reads a leading zero as octal";
  EXPECT_EQ(ParseIntegerValue(u"-7x"), -7);
  EXPECT_EQ(ParseIntegerValue(u"junk"), 0);
  EXPECT_EQ(ParseHexValue(u"ff"), 0xFFu);
}

TEST_F(ProfileFiles, ReadsUtf8AndUtf16AndKeepsDefaultsForMissingKeys) {
  const std::string utf8 = Write("a.ini", "; comment\n[MAIN]\nLANGUAGE = Deutsch \nEMPTY=\n[colors]\ndeleted=#FF0000\n"
                                          "Quoted=\"  spaced  \"\nLong=" + std::string(600, 'x') + "\n");
  Profile p(utf8);
  std::u16string language = u"English";
  p.Read(u"main", u"language", language);
  EXPECT_EQ(language, u"Deutsch");
  EXPECT_FALSE(p.missing());
  std::u16string kept = u"default";
  p.Read(u"MAIN", u"EMPTY", kept);
  EXPECT_EQ(kept, u"default") << "an empty value counts as absent";
  EXPECT_TRUE(p.missing());
  p.Read(u"MAIN", u"NOPE", kept);
  EXPECT_TRUE(p.missing());
  std::uint32_t colour = 7;
  p.Read(u"COLORS", u"DELETED", colour, ProfileType::Colour);
  EXPECT_EQ(colour, 0x0000FFu);
  std::u16string quoted;
  p.Read(u"COLORS", u"Quoted", quoted);
  EXPECT_EQ(quoted, u"  spaced  ");
  std::u16string longValue;
  p.Read(u"COLORS", u"Long", longValue);
  EXPECT_EQ(longValue.size(), kMaxProfileValue);

  // UTF-16 LE with a byte-order mark.
  std::string bytes = "\xFF\xFE";
  for (char16_t c : std::u16string(u"[GENERAL]\r\nLANGCODE=\u0440\u0443\r\n")) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  Profile wide(Write("w.lng", bytes));
  std::u16string code;
  wide.Read(u"GENERAL", u"LANGCODE", code);
  EXPECT_EQ(code, u"\u0440\u0443");

  Profile none("");
  std::u16string untouched = u"x";
  none.Read(u"A", u"B", untouched);
  EXPECT_EQ(untouched, u"x");
  EXPECT_FALSE(none.Flush()) << "no file name: nothing is written";
}

TEST_F(ProfileFiles, WrittenValuesReadBack) {
  const std::string path = (dir / "new.cfg").string();
  Profile p(path);
  p.Write(u"WIN", u"POS", std::make_pair(10, -20));
  p.Write(u"WIN", u"SHOW", 1, ProfileType::Boolean);
  p.Write(u"WIN", u"COUNT", 42, ProfileType::Integer);
  p.Write(u"COLORS", u"SPECIAL", 0x400080, ProfileType::Colour);
  p.Write(u"MAIN", u"LANGUAGE", u"Polski");
  ASSERT_TRUE(p.Flush());
  Profile back(path);
  std::pair<int, int> pos;
  back.Read(u"WIN", u"POS", pos);
  EXPECT_EQ(pos, std::make_pair(10, -20));
  std::uint32_t show = 0, count = 0, colour = 0;
  back.Read(u"WIN", u"SHOW", show, ProfileType::Boolean);
  back.Read(u"WIN", u"COUNT", count, ProfileType::Integer);
  back.Read(u"COLORS", u"SPECIAL", colour, ProfileType::Colour);
  EXPECT_EQ(show, 1u);
  EXPECT_EQ(count, 42u);
  EXPECT_EQ(colour, 0x400080u);
  EXPECT_NE(back.ini().Text().find(u"SPECIAL=#800040"), std::u16string::npos);
}

TEST_F(ProfileFiles, SettingsColoursAndLanguage) {
  const StatusColours onBlack = DefaultColours(0x000000);
  EXPECT_EQ(onBlack[0], 0x808080u) << "DELETED is grey on black text";
  EXPECT_EQ(onBlack[1], 0x000000u);
  EXPECT_EQ(onBlack[2], 0x0000FFu);
  EXPECT_EQ(DefaultColours(0xFFFFFF)[0], 0xFFFFFFu - 0x808080u);

  const std::string cfg = Write("Kestrova.cfg", "[COLORS]\nOVERWRITTEN=#00FF00\n");
  AppSettings s = LoadAppSettings(cfg, 0, u"Czech");
  EXPECT_EQ(s.language, u"Czech") << "no LANGUAGE: the locale's language";
  EXPECT_EQ(s.colours[2], 0x00FF00u);
  EXPECT_EQ(s.colours[4], 0xFF0000u) << "absent keys keep their defaults";
  s.language = u"French";
  s.colours[6] = 0x123456;
  ASSERT_TRUE(SaveAppSettings(cfg, s));
  const AppSettings back = LoadAppSettings(cfg, 0, u"English");
  EXPECT_EQ(back.language, u"French");
  EXPECT_EQ(back.colours, s.colours);
  EXPECT_FALSE(SaveAppSettings("", s));
}

}  // namespace
}  // namespace kestrova
