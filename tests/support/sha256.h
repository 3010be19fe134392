// SHA-256 of a file through sha256sum (coreutils), for byte-exact checks.
#pragma once

#include <array>
#include <cstdio>
#include <string>

namespace kestrova::test {

inline std::string Sha256Of(const std::string& path) {
  const std::string cmd = "sha256sum '" + path + "' 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return {};
  std::array<char, 128> buf{};
  std::string out;
  if (std::fgets(buf.data(), buf.size(), p)) out = buf.data();
  ::pclose(p);
  return out.substr(0, out.find(' '));
}

}  // namespace kestrova::test
