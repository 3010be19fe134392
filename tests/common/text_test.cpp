#include "common/text.h"

#include <gtest/gtest.h>

namespace kestrova {
namespace {

TEST(Utf, RoundTripsBmpAndSurrogatePairs) {
  const std::string s = "Fil\xC3\xA9 \xD0\x96\xE6\x96\x87 \xF0\x9F\x98\x80";  // é, Ж, 文, an emoji
  const std::u16string u = ToUtf16(s);
  EXPECT_EQ(u.size(), 10u);  // the emoji is a surrogate pair
  EXPECT_EQ(ToUtf8(u), s);
}

TEST(Utf, BrokenInputBecomesReplacementCharacters) {
  EXPECT_EQ(ToUtf16("a\xFF" "b"), u"a\uFFFD" u"b");
  EXPECT_EQ(ToUtf16("\xE6\x96"), u"\uFFFD\uFFFD");        // truncated sequence
  EXPECT_EQ(ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");        // overlong '/': never a path separator
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");  // lone surrogate
}

TEST(CaseFolding, ComparesNamesAcrossScripts) {
  EXPECT_EQ(CompareNoCase(u"README.TXT", u"readme.txt"), 0);
  EXPECT_EQ(CompareNoCase(u"\u0416\u0401", u"\u0436\u0451"), 0);  // Cyrillic
  EXPECT_EQ(CompareNoCase(u"\u0391\u03A9", u"\u03B1\u03C9"), 0);  // Greek
  EXPECT_EQ(CompareNoCase(u"\u00C9T\u00C9", u"\u00E9t\u00E9"), 0);
  EXPECT_LT(CompareNoCase(u"abc", u"ABD"), 0);
  EXPECT_GT(CompareNoCase(u"abcd", u"ABC"), 0);
}

struct MatchCase {
  const char16_t* name;
  const char16_t* pattern;
  bool match;
};

TEST(MatchName, FollowsTheListingRules) {
  const MatchCase cases[] = {
      {u"anything.bin", u"*", true},
      {u"", u"*", true},
      // Without a star the pattern may sit anywhere in the name.
      {u"holiday-photo.jpg", u"photo", true},
      {u"holiday-photo.jpg", u"PHOTO", true},
      {u"holiday.jpg", u"photos", false},
      // Text after the last star is anchored at the end.
      {u"a.jpg", u"*.jpg", true},
      {u"a.jpg.bak", u"*.jpg", false},
      {u"IMG_0001.JPG", u"*.jpg", true},
      {u"report-2024-final.doc", u"report*final*", true},
      {u"report-2024-final.doc", u"report*2024*.doc", true},
      {u"report-2024-final.doc", u"report*2025*.doc", false},
      {u"aaa", u"a**a", true},
      // With a star the pattern starts at the start of the name.
      {u"xreport.doc", u"report*", false},
      // '?' in a name (lost first character) matches any pattern character.
      {u"?ACATION.JPG", u"vacation.jpg", true},
      {u"?ACATION.JPG", u"v*.jpg", true},
      // '?' in a pattern is an ordinary character.
      {u"vacation.jpg", u"?acation.jpg", false},
      {u"what?.txt", u"what?", true},
  };
  for (const MatchCase& c : cases)
    EXPECT_EQ(MatchName(c.name, c.pattern), c.match) << ToUtf8(c.name) << " ~ " << ToUtf8(c.pattern);
}

TEST(MatchName, LongNamesWithManyStarsStayFast) {
  const std::u16string name(4000, u'a');
  EXPECT_FALSE(MatchName(name, u"*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(MatchName(name, u"*a*a*a*a*a*a*a*a*"));
}

TEST(FillPlaceholders, FillsInOrderAndNeverReadsMissingArguments) {
  EXPECT_EQ(FillPlaceholders(u"HDD%i: %s (%s)", {u"0", u"Disk", u"1.00 GB"}), u"HDD0: Disk (1.00 GB)");
  EXPECT_EQ(FillPlaceholders(u"%I64d/%I64d", {u"10", u"2"}), u"10/2");
  EXPECT_EQ(FillPlaceholders(u"%s[%.3u].%s", {u"a", u"001", u"txt"}), u"a[001].txt");
  EXPECT_EQ(FillPlaceholders(u"100%% %s %s", {u"x"}), u"100% x ");
  EXPECT_EQ(FillPlaceholders(u"trailing %", {}), u"trailing %");
}

TEST(TextFields, Latin1AndUtf16FieldsStopAtNulAndTrimSpaces) {
  const std::uint8_t label[11] = {'P', 'U', 'B', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  EXPECT_EQ(Latin1Field(label), u"PUB");
  const std::uint8_t withNul[4] = {'A', 0, 'B', 'C'};
  EXPECT_EQ(Latin1Field(withNul), u"A");
  const std::uint8_t u16[6] = {'H', 0, 'i', 0, 0, 0};
  EXPECT_EQ(Utf16LeField(u16, 3), u"Hi");
  EXPECT_EQ(Utf16LeField(u16, 10), u"Hi");  // never past the span
}

TEST(EscapeControls, TerminalCommandsInNamesArePrintedAsText) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain name.txt", "plain name.txt"},
      {"\x1b]0;owned\x07.txt", "\\x1b]0;owned\\x07.txt"},  // a title change and a bell
      {"over\rwrite", "over\\x0dwrite"},
      {"tab\tnew\nline\x7f", "tab\\x09new\\x0aline\\x7f"},
      {"csi\xc2\x9b" "2J", "csi\\u009b2J"},  // the one-byte CSI of the C1 range
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},  // printable UTF-8 stays
      {"\xc2\xa0nbsp", "\xc2\xa0nbsp"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeControls(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace kestrova
