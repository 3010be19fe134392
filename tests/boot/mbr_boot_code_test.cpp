// The committed MBR boot code: its mark, its size, the bytes it leaves to the
// disk signature, and that it is exactly what tools/boot/mbr.asm assembles to.
#include "tools/mbr_boot_code.h"

#include "boot/nasm.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace kestrova {
namespace {

TEST(MbrBootCode, BeginsWithTheStandardMarkAndIs446Bytes) {
  const auto code = StandardMbrBootCode();
  ASSERT_EQ(code.size(), 446u);
  const std::vector<std::uint8_t> mark{0x33, 0xC0, 0x8E, 0xD0, 0xBC, 0x00, 0x7C};
  EXPECT_TRUE(std::equal(mark.begin(), mark.end(), code.begin()));
}

TEST(MbrBootCode, LeavesTheDiskSignatureBytesZero) {
  const auto code = StandardMbrBootCode();
  for (std::size_t i = kMbrDiskSignatureOffset; i < code.size(); ++i) EXPECT_EQ(code[i], 0) << "offset " << i;
}

TEST(MbrBootCode, CarriesItsFailureMessages) {
  const auto code = StandardMbrBootCode();
  const std::string text(code.begin(), code.end());
  for (const char* message :
       {"Invalid partition table", "No active partition", "Error loading operating system", "Missing operating system"})
    EXPECT_NE(text.find(std::string(message) + '\0'), std::string::npos) << message;
}

class MbrBootSource : public test::TempDirTest {
 protected:
  MbrBootSource() : TempDirTest("kestrova-mbr-source") {}
};

TEST_F(MbrBootSource, AssemblesToTheCommittedBytes) {
  const std::string nasm = test::FindProgram("nasm");
  if (nasm.empty()) GTEST_SKIP() << "nasm is not installed (scripts/setup.sh installs it): the source is not checked";
  std::string log;
  const auto built = test::Assemble(nasm, KESTROVA_BOOT_SOURCE_DIR "/mbr.asm", dir / "mbr.bin", {}, &log);
  ASSERT_TRUE(built) << log;
  const auto code = StandardMbrBootCode();
  ASSERT_EQ(built->size(), code.size());
  for (std::size_t i = 0; i < code.size(); ++i)
    ASSERT_EQ((*built)[i], code[i]) << "first difference at offset " << i << ": paste the assembled bytes into "
                                    << "src/tools/mbr_boot_code.cpp";
}

TEST_F(MbrBootSource, TheChsOnlyTestVariantIsWholeButNotTheShippedCode) {
  // The boot test runs this variant to cover the CHS read; it must still be a
  // whole, marked sector body, and not the shipped code.
  const std::string nasm = test::FindProgram("nasm");
  if (nasm.empty()) GTEST_SKIP() << "nasm is not installed (scripts/setup.sh installs it)";
  std::string log;
  const auto chs = test::Assemble(nasm, KESTROVA_BOOT_SOURCE_DIR "/mbr.asm", dir / "mbr_chs.bin",
                                  {"KESTROVA_FORCE_CHS"}, &log);
  ASSERT_TRUE(chs) << log;
  ASSERT_EQ(chs->size(), 446u);
  EXPECT_EQ((*chs)[0], 0x33);
  EXPECT_EQ((*chs)[1], 0xC0);
  const auto code = StandardMbrBootCode();
  EXPECT_FALSE(std::equal(code.begin(), code.end(), chs->begin()));
}

}  // namespace
}  // namespace kestrova
