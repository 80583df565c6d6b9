// Lists of dates for tests of stacks: day numbers from "YYYY-MM-DD" texts and
// the dates of regular products, built by plain day-of-year arithmetic.
// Header only; needs the tsr_stack library.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "stack/dates.h"

namespace tsr::testing {

inline int32_t day(std::string_view text) {
  int32_t d = 0;
  EXPECT_TRUE(parse_date(text, &d)) << text;
  return d;
}

inline std::vector<int32_t> days(std::initializer_list<std::string_view> texts) {
  std::vector<int32_t> out;
  for (std::string_view t : texts) out.push_back(day(t));
  return out;
}

// Days of the year first_doy, first_doy + step, ... (up to 366) of every year
// from first_year to last_year: the dates of MODIS composites.
inline std::vector<int32_t> yearly_product_dates(int32_t first_year, int32_t last_year, int32_t first_doy,
                                                 int32_t step) {
  std::vector<int32_t> out;
  for (int32_t y = first_year; y <= last_year; ++y) {
    const int32_t jan1 = days_from_civil({y, 1, 1});
    const int32_t year_days = days_from_civil({y + 1, 1, 1}) - jan1;
    for (int32_t doy = first_doy; doy <= year_days; doy += step) out.push_back(jan1 + doy - 1);
  }
  return out;
}

// The first `count` of those dates (every year from day 1 on) from day
// `first_doy` of `first_year` on: a record that starts within a year.
inline std::vector<int32_t> yearly_product_dates_from(int32_t first_year, int32_t first_doy, int32_t step,
                                                      size_t count) {
  const int32_t first = days_from_civil({first_year, 1, 1}) + first_doy - 1;
  std::vector<int32_t> out;
  for (int32_t y = first_year; out.size() < count; ++y) {
    for (int32_t d : yearly_product_dates(y, y, 1, step))
      if (d >= first && out.size() < count) out.push_back(d);
  }
  return out;
}

// The list without the dates given.
inline std::vector<int32_t> without(std::vector<int32_t> list, const std::vector<int32_t>& gone) {
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](int32_t d) { return std::find(gone.begin(), gone.end(), d) != gone.end(); }),
             list.end());
  return list;
}

inline std::vector<std::string> texts(const std::vector<int32_t>& list) {
  std::vector<std::string> out;
  for (int32_t d : list) out.push_back(format_date(d));
  return out;
}

}  // namespace tsr::testing
