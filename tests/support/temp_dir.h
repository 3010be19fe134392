// A fresh folder per test, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace kestrova::test {

class TempDirTest : public ::testing::Test {
 protected:
  explicit TempDirTest(const std::string& tag = "kestrova-test")
      : dir(std::filesystem::temp_directory_path() / (tag + "-" + std::to_string(::getpid()))) {}
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string P(const std::string& rel) const { return (dir / rel).string(); }
  std::string WriteFile(const std::string& rel, const std::string& bytes) const {
    std::ofstream(dir / rel, std::ios::binary) << bytes;
    return P(rel);
  }

  std::filesystem::path dir;
};

}  // namespace kestrova::test
