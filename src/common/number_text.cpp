#include "common/number_text.h"

#include <algorithm>
#include <cstdio>

namespace kestrova {

std::string GroupDigits(std::string_view digits) {
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::string(digits);
  std::string out;
  const std::size_t lead = digits.size() % 3;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (i + 3 - lead) % 3 == 0) out += ' ';
    out += digits[i];
  }
  return out;
}

std::string GroupNumber(std::uint64_t value) { return GroupDigits(std::to_string(value)); }

std::string SizeText(std::uint64_t bytes) {
  struct Unit {
    std::uint64_t limit;
    const char* name;
  };
  static constexpr Unit kUnits[] = {{1ull << 40, "TB"}, {1ull << 30, "GB"}, {1ull << 20, "MB"}, {1ull << 10, "kB"}};
  for (const Unit& u : kUnits) {
    if (bytes > u.limit) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%0.2f %s", static_cast<double>(bytes) / static_cast<double>(u.limit), u.name);
      return buf;
    }
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%0.2f B", static_cast<double>(bytes));
  return buf;
}

}  // namespace kestrova
