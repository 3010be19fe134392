// Runs kestrova-cli as scripts do: exit code and standard output.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace kestrova::test {

struct CliRun {
  int code;
  std::string out;
};

inline CliRun Cli(const std::string& args) {
  const std::string cmd = std::string(KESTROVA_CLI) + " " + args + " 2>/dev/null";
  CliRun r{-1, {}};
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  std::array<char, 4096> buf{};
  while (std::fgets(buf.data(), buf.size(), p)) r.out += buf.data();
  const int status = ::pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

inline std::string Quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace kestrova::test
