// Matching the JSON rows of "kestrova-cli ls" against expected paths.
#pragma once

#include "support/mini_json.h"

#include <cctype>
#include <string>
#include <vector>

namespace kestrova::test {

inline std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    const std::size_t slash = path.find('/', i);
    const std::string part = path.substr(i, slash == std::string::npos ? std::string::npos : slash - i);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string::npos) break;
    i = slash + 1;
  }
  return parts;
}

inline std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A deleted short name loses its first character ("?" here, "_" in the oracle).
inline bool ComponentMatches(const std::string& listed, const std::string& expected) {
  if (listed == expected) return true;
  const bool wild = !listed.empty() && listed[0] == '?';
  const bool oracleWild = !expected.empty() && expected[0] == '_';
  return (wild || oracleWild) && listed.size() == expected.size() && Lower(listed.substr(1)) == Lower(expected.substr(1));
}

inline const Json* FindListed(const Json& listed, const std::string& path) {
  const auto want = Split(path);
  for (const Json& l : listed.a) {
    if (l["folder"].b) continue;
    const auto got = Split(l["path"].s);
    if (got.size() != want.size()) continue;
    bool all = true;
    for (std::size_t i = 0; i < got.size() && all; ++i) all = ComponentMatches(got[i], want[i]);
    if (all) return &l;
  }
  return nullptr;
}

}  // namespace kestrova::test
