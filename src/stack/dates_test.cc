#include "stack/dates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/date_lists.h"
#include "support/param_name.h"

namespace tsr {
namespace {

using ::tsr::testing::texts;

// Every day of the years 1..9999, walked one day at a time with the
// calendar's own rules, against the day-number arithmetic.
TEST(Dates, EveryDayOfTheRangeAgainstAWalkThroughTheCalendar) {
  static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  CivilDate d{1, 1, 1};
  int32_t doy = 1;
  for (int32_t n = kFirstDayNumber; n <= kLastDayNumber; ++n) {
    ASSERT_EQ(days_from_civil(d), n) << d.year << "-" << d.month << "-" << d.day;
    ASSERT_EQ(civil_from_days(n), d) << n;
    ASSERT_EQ(day_of_year(n), doy) << n;
    const bool leap = d.year % 400 == 0 || (d.year % 4 == 0 && d.year % 100 != 0);
    const int length = kMonthDays[d.month - 1] + (d.month == 2 && leap ? 1 : 0);
    ++doy;
    if (++d.day > length) {
      d.day = 1;
      if (++d.month > 12) d.month = 1, ++d.year, doy = 1;
    }
  }
  EXPECT_EQ(d, (CivilDate{10000, 1, 1}));
  EXPECT_EQ(days_from_civil({1970, 1, 1}), 0);
}

TEST(Dates, ParseAndFormat) {
  struct Case {
    std::string text;
    bool ok;
  };
  const Case cases[] = {{"2014-01-31", true},  {"2000-02-29", true},  {"0001-01-01", true}, {"9999-12-31", true},
                        {"1900-02-29", false}, {"2014-13-01", false}, {"2014-1-31", false}, {"2014-01-31 ", false},
                        {"0000-12-31", false}, {"2014/01/31", false}, {"", false}};
  for (const Case& c : cases) {
    int32_t d = 12345;
    EXPECT_EQ(parse_date(c.text, &d), c.ok) << c.text;
    EXPECT_EQ(c.ok ? format_date(d) : std::to_string(d), c.ok ? c.text : "12345") << c.text;
  }
}

TEST(Dates, NumberLists) {
  struct Case {
    std::string text;
    std::vector<double> values;  // empty with refused: refused
    bool refused;
  };
  const Case cases[] = {
      {"{0,16,32}", {0, 16, 32}, false},   {" { 1.5 , -2 } ", {1.5, -2}, false}, {"1 2\t3", {1, 2, 3}, false},
      {"+7,1e3", {7, 1000}, false},        {"{}", {}, false},
      {"{1,,2}", {}, true},                {"{1,a}", {}, true},                  {"{1,2", {}, true},
      {"1,2,", {}, true},
  };
  for (const Case& c : cases) {
    std::vector<double> v{99};
    const Status s = parse_number_list(c.text, &v);
    EXPECT_EQ(s.is_ok(), !c.refused) << c.text << ": " << s.text();
    EXPECT_EQ(v, c.values) << c.text;
  }
}

struct CfCase {
  std::string name;
  std::vector<double> values;
  std::string units;
  std::string calendar;
  std::vector<std::string> dates;  // expected; empty: refused with `refusal` in the message
  std::string refusal;
};

class CfTime : public ::testing::TestWithParam<CfCase> {};

TEST_P(CfTime, Decodes) {
  const CfCase& c = GetParam();
  std::vector<int32_t> days{1};
  const Status s = decode_cf_time(c.values.data(), c.values.size(), c.units, c.calendar, &days);
  if (c.dates.empty()) {
    EXPECT_FALSE(s.is_ok());
    EXPECT_NE(s.text().find(c.refusal), std::string::npos) << s.text();
    EXPECT_TRUE(days.empty());
  } else {
    ASSERT_TRUE(s.is_ok()) << s.text();
    EXPECT_EQ(texts(days), c.dates);
  }
}

const double kNaN = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Axes, CfTime,
    ::testing::Values(
        CfCase{"days", {0, 16, 366}, "days since 2000-01-01", "", {"2000-01-01", "2000-01-17", "2001-01-01"}, ""},
        CfCase{"hours", {1002240}, "hours since 1900-01-01 00:00:00", "gregorian", {"2014-05-03"}, ""},
        CfCase{"seconds_iso", {1388534400}, "seconds since 1970-01-01T00:00:00Z", "standard", {"2014-01-01"}, ""},
        CfCase{"nanoseconds", {1.3885344e18}, "nanoseconds since 1970-01-01", "proleptic_gregorian", {"2014-01-01"}, ""},
        CfCase{"reference_at_noon", {-0.5, 0.49, 0.5}, "days since 2000-01-01 12:00", "",
               {"2000-01-01", "2000-01-01", "2000-01-02"}, ""},
        CfCase{"zone", {5, 6}, "hours since 2000-01-01 00:00 +06:00", "", {"1999-12-31", "2000-01-01"}, ""},
        CfCase{"rounding_noise_snaps", {16.9999999999, 16.99}, "days since 2000-01-01", "",
               {"2000-01-18", "2000-01-17"}, ""},
        CfCase{"end_of_day_stays", {1388620799.999}, "seconds since 1970-01-01", "", {"2014-01-01"}, ""},
        // 1582-10-03 of the Julian calendar is 1582-10-13 of the proleptic Gregorian one.
        CfCase{"standard_across_the_switch", {-1, 1}, "days since 1582-10-04", "Standard",
               {"1582-10-13", "1582-10-15"}, ""},
        CfCase{"standard_from_year_1", {730121}, "days since 1-1-1 00:00:0.0", "standard", {"2000-01-01"}, ""},
        CfCase{"proleptic_from_year_1", {730119}, "days since 0001-01-01", "proleptic_gregorian", {"2000-01-01"}, ""},
        CfCase{"julian", {0}, "days since 2000-01-01", "julian", {"2000-01-14"}, ""},
        CfCase{"noleap", {424, 60}, "days since 2001-01-01", "noleap", {"2002-03-01", "2001-03-02"}, ""},
        CfCase{"noleap_skips_feb29", {60}, "days since 2003-12-31", "365_day", {"2004-03-01"}, ""},
        CfCase{"all_leap", {60}, "days since 2001-01-01", "all_leap", {"2001-03-01"}, ""},
        CfCase{"all_leap_feb29", {59}, "days since 2001-01-01", "366_day", {}, "2001-02-29 of the 366_day calendar"},
        CfCase{"360_day", {30, 359}, "days since 2000-01-01", "360_day", {"2000-02-01", "2000-12-30"}, ""},
        CfCase{"360_day_feb30", {59}, "days since 2000-01-01", "360_day", {}, "2000-02-30"},
        CfCase{"months", {1}, "months since 2000-01-01", "", {}, "no fixed length"},
        CfCase{"calendar_none", {1}, "days since 2000-01-01", "none", {}, "calendar \"none\""},
        CfCase{"no_since", {1}, "days after 2000-01-01", "", {}, "<unit> since <date>"},
        CfCase{"unknown_unit", {1}, "fortnights since 2000-01-01", "", {}, "fortnights"},
        CfCase{"bad_reference", {1}, "days since 2000-13-01", "", {}, "not a date"},
        CfCase{"gap_of_the_switch", {1}, "days since 1582-10-14", "standard", {}, "not a date"},
        CfCase{"not_finite", {0, kNaN}, "days since 2000-01-01", "", {}, "time value 2"},
        CfCase{"beyond_9999", {1e7}, "days since 2000-01-01", "", {}, "outside the years"}),
    [](const auto& info) { return ::tsr::testing::param_name(info.param.name); });

}  // namespace
}  // namespace tsr
