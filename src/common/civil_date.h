// Days since 1970-01-01 to a proleptic Gregorian date: pure arithmetic, so a
// signal handler may use it as well.
#pragma once

#include <cstdint>

namespace kestrova {

struct CivilDate {
  int year = 0, month = 0, day = 0;
};

constexpr CivilDate CivilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  CivilDate d;
  d.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  d.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  d.year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (d.month <= 2));
  return d;
}

// A civil date to days since 1970-01-01.
constexpr std::int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

static_assert(DaysFromCivil(2024, 7, 1) == 19905);
static_assert(CivilFromDays(0).year == 1970 && CivilFromDays(0).month == 1 && CivilFromDays(0).day == 1);
static_assert(CivilFromDays(19905).year == 2024 && CivilFromDays(19905).month == 7 && CivilFromDays(19905).day == 1);

}  // namespace kestrova
