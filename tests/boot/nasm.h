// Finding test-time programs on PATH and assembling tools/boot sources with nasm.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::test {

// The full path of an executable on PATH, empty when there is none.
inline std::string FindProgram(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    if (dir.empty()) continue;
    const std::string candidate = std::string(dir) + "/" + std::string(name);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

inline std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Assembles SOURCE (a flat binary) with the given -D definitions; nullopt when
// nasm fails, with its messages in *log.
inline std::optional<std::vector<std::uint8_t>> Assemble(const std::string& nasm, const std::filesystem::path& source,
                                                         const std::filesystem::path& output,
                                                         const std::vector<std::string>& defines, std::string* log) {
  std::string cmd = "'" + nasm + "' -f bin";
  for (const auto& d : defines) cmd += " -D" + d;
  cmd += " -o '" + output.string() + "' '" + source.string() + "' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return std::nullopt;
  char buf[512];
  std::string out;
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  const int status = ::pclose(p);
  if (log) *log = out;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return ReadWholeFile(output);
}

}  // namespace kestrova::test
