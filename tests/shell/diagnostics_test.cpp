#include "shell/diagnostics.h"
#include "common/activity.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;

class Reports : public test::TempDirTest {
 protected:
  Reports() : TempDirTest("kestrova-reports") {}
  std::string Base() const { return (dir / kReportBaseName).string(); }
  std::vector<fs::path> Files() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
    return out;
  }
  // UTF-16LE without BOM back to ASCII; empty when the file is not that.
  static std::string ReadUtf16(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      if (bytes[i + 1] != 0) return {};
      text.push_back(bytes[i]);
    }
    return text;
  }
};

TEST_F(Reports, AFaultingChildWritesItsReport) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstallFaultHandler(Base());
    MarkEnter(static_cast<std::size_t>(Fn::ListPartitions));
    MarkEnter(static_cast<std::size_t>(Fn::MountVolume));
    MarkLeave(static_cast<std::size_t>(Fn::MountVolume));
    // A real access fault: a page with no access rights.
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the signal still ends the process";
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);

  const auto files = Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                               std::regex("VEH_REPORT_20[0-9]{2}-[01][0-9]-[0-3][0-9]_[0-9A-F]{8}\\.TXT")))
      << files[0];
  const std::string text = ReadUtf16(files[0]);
  ASSERT_FALSE(text.empty()) << "UTF-16 without a byte-order mark";
  EXPECT_EQ(text.rfind("EXCEPTION CODE: 0x0000000B\r\n\r\n", 0), 0u) << text;
#if defined(__x86_64__)
  EXPECT_TRUE(std::regex_search(text, std::regex("\r\n\r\nRIP: 0x[0-9A-F]{16}\r\n\r\nRAX: 0x[0-9A-F]{16}\r\n")));
  EXPECT_NE(text.find("RSP: 0x"), std::string::npos);
#endif
  const auto index = text.find("\r\nSER_INDEX:\r\n\r\n");
  ASSERT_NE(index, std::string::npos);
  const std::string slots = text.substr(index);
  auto listed = [&](Fn fn) { return slots.find("\r\n" + std::to_string(static_cast<int>(fn)) + "\r\n") != std::string::npos; };
  EXPECT_TRUE(listed(Fn::ListPartitions));
  EXPECT_TRUE(listed(Fn::FaultHandler));
  EXPECT_TRUE(listed(Fn::WriteFaultReport));
  EXPECT_FALSE(listed(Fn::MountVolume)) << "a function that returned is not listed";
}

TEST_F(Reports, IgnoredCodesWriteNothingAndSnapshotsListActiveSlots) {
  FaultInfo fault;
  fault.code = 1722;
  ReportAccumulator text;
  EXPECT_FALSE(WriteFaultReport(Base().c_str(), fault, &text));
  fault.code = 0x0EEDFADE;
  EXPECT_FALSE(WriteFaultReport(Base().c_str(), fault, &text));
  EXPECT_TRUE(Files().empty());
  EXPECT_TRUE(text.Text().empty());

  ActivityMark running(Fn::LoadLanguage);
  char path[512] = {};
  ASSERT_TRUE(WriteActivitySnapshot(Base().c_str(), &text, path));
  ASSERT_EQ(Files().size(), 1u);
  EXPECT_EQ(Files()[0].string(), path);
  const std::string content = ReadUtf16(Files()[0]);
  EXPECT_EQ(content, text.Text()) << "the accumulator gets every line";
  EXPECT_EQ(content.rfind("\r\nSER_INDEX:\r\n\r\n", 0), 0u);
  EXPECT_NE(content.find("\r\n" + std::to_string(static_cast<int>(Fn::LoadLanguage)) + "\r\n"), std::string::npos);
  EXPECT_NE(content.find("\r\n" + std::to_string(static_cast<int>(Fn::WriteActivitySnapshot)) + "\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kestrova
