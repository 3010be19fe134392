#include "common/number_text.h"

#include <gtest/gtest.h>

namespace kestrova {
namespace {

TEST(GroupDigits, GroupsInThreesFromTheRight) {
  EXPECT_EQ(GroupDigits("200000"), "200 000");
  EXPECT_EQ(GroupDigits("1234"), "1 234");
  EXPECT_EQ(GroupDigits("12345"), "12 345");
  EXPECT_EQ(GroupDigits("999"), "999");
  EXPECT_EQ(GroupDigits("1"), "1");
  EXPECT_EQ(GroupDigits("1234567"), "1 234 567");
  EXPECT_EQ(GroupDigits("12ab"), "12ab");  // not a number: unchanged
  EXPECT_EQ(GroupNumber(18446744073709551615ull), "18 446 744 073 709 551 615");
}

TEST(SizeText, PicksTheUnitAboveEachLimit) {
  EXPECT_EQ(SizeText(0), "0.00 B");
  EXPECT_EQ(SizeText(1024), "1024.00 B");  // only values above 1024 become kB
  EXPECT_EQ(SizeText(1536), "1.50 kB");
  EXPECT_EQ(SizeText(1ull << 20), "1024.00 kB");
  EXPECT_EQ(SizeText(40ull << 20), "40.00 MB");
  EXPECT_EQ(SizeText(3ull << 30), "3.00 GB");
  EXPECT_EQ(SizeText(5ull << 40), "5.00 TB");
}

}  // namespace
}  // namespace kestrova
