// Calendar dates as day numbers (days since 1970-01-01) for tests: single
// dates, and the dates of composite series such as MODIS 16-day products,
// whose composites start again on 1 January every year.
#pragma once

#include <cstdint>
#include <vector>

namespace tsr::testing {

inline bool leap_year(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The day number of day `doy` (1 = 1 January) of `year` (1970 or later).
inline int64_t day_number(int32_t year, int32_t doy) {
  int64_t days = 0;
  for (int32_t y = 1970; y < year; ++y) days += leap_year(y) ? 366 : 365;
  return days + doy - 1;
}

// `count` composites of `step` days from day `doy` of `year` on, the first
// of each year on 1 January (the last of a year is shorter).
inline std::vector<double> composite_days(int32_t year, int32_t doy, int32_t step, int32_t count) {
  std::vector<double> days;
  for (int32_t i = 0; i < count; ++i) {
    days.push_back(static_cast<double>(day_number(year, doy)));
    doy += step;
    if (doy > (leap_year(year) ? 366 : 365)) {
      ++year;
      doy = 1;
    }
  }
  return days;
}

}  // namespace tsr::testing
