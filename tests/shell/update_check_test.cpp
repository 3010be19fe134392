// The update check's decisions: no host, no request; which hosts make a
// request URL; which answers offer a new version. And the host setting's
// default and its reading from the settings file.
#include "shell/update_check.h"

#include "shell/app_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kestrova {
namespace {

TEST(UpdateCheck, OnlyABareHostMakesARequest) {
  struct Case {
    std::u16string host;
    const char* url;  // nullptr: no request
  } cases[] = {
      {u"", nullptr},
      {u"   ", nullptr},
      {u"updates.example.org", "https://updates.example.org/vernote.txt"},
      {u"  updates.example.org\t", "https://updates.example.org/vernote.txt"},
      {u"localhost:8443", "https://localhost:8443/vernote.txt"},
      {u"example.org/other", nullptr},
      {u"user@example.org", nullptr},
      {u"http://example.org", nullptr},
      {u"example.org:", nullptr},
      {u"example.org:123456", nullptr},
      {u"exa mple.org", nullptr},
      {u".example.org", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host.begin(), c.host.end()));
    const std::optional<std::string> url = UpdateCheckUrl(c.host);
    if (!c.url) {
      EXPECT_FALSE(url.has_value());
      EXPECT_TRUE(UpdateDownloadUrl(c.host).empty());
    } else {
      ASSERT_TRUE(url.has_value());
      EXPECT_EQ(*url, c.url);
    }
  }
  EXPECT_EQ(UpdateDownloadUrl(u"updates.example.org"), "https://updates.example.org/");
}

TEST(UpdateCheck, OnlyAnotherVersionAfterThePrefixIsOffered) {
  struct Case {
    const char* answer;
    bool offered;
  } cases[] = {
      {"VERSION: 3.8.6.2", true},
      {"VERSION: 3.8.6.2\r\n", true},
      {"VERSION: 3.8.6.1", false},
      {"VERSION: 3.8.6.1\n", false},
      {"VERSION: 3.8.6.1  \r\n", false},
      {"VERSION: ", false},
      {"version: 4.0", false},
      {"<html>VERSION: 4.0</html>", false},
      {"", false},
      // Only 31 bytes are read: the version ends where the read does.
      {"VERSION: 3.8.6.1xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    EXPECT_EQ(AnswerOffersNewVersion(c.answer, u"3.8.6.1"), c.offered);
  }
}

TEST(UpdateCheck, TheHostIsEmptyUnlessTheSettingsFileNamesOne) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrova-update-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(LoadAppSettings("", 0, u"English").updateHost.empty()) << "no settings file: no check";
  const std::string without = (dir / "without.cfg").string();
  std::ofstream(without) << "[MAIN]\nLANGUAGE=German\n";
  EXPECT_TRUE(LoadAppSettings(without, 0, u"English").updateHost.empty());
  const std::string with = (dir / "with.cfg").string();
  std::ofstream(with) << "[MAIN]\nUPDATEHOST=updates.example.org\n";
  AppSettings s = LoadAppSettings(with, 0, u"English");
  EXPECT_EQ(s.updateHost, u"updates.example.org");
  // Writing the settings back leaves the host as it was set.
  s.language = u"German";
  ASSERT_TRUE(SaveAppSettings(with, s));
  EXPECT_EQ(LoadAppSettings(with, 0, u"English").updateHost, u"updates.example.org");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrova
