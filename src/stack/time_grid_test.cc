#include "stack/time_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/date_lists.h"
#include "support/param_name.h"

namespace tsr {
namespace {

using ::tsr::testing::day;
using ::tsr::testing::days;
using ::tsr::testing::texts;
using ::tsr::testing::without;
using ::tsr::testing::yearly_product_dates;

// Dates from `first` every `step` days, those at the indices `keep` only
// (all when empty).
std::vector<int32_t> every(const char* first, int32_t step, int32_t count, std::vector<int32_t> keep = {}) {
  std::vector<int32_t> out;
  for (int32_t i = 0; i < count; ++i)
    if (keep.empty() || std::find(keep.begin(), keep.end(), i) != keep.end()) out.push_back(day(first) + i * step);
  return out;
}

// Dates from `first` with the distances given, repeated.
std::vector<int32_t> alternating(const char* first, std::vector<int32_t> steps, int32_t count) {
  std::vector<int32_t> out{day(first)};
  for (int32_t i = 1; i < count; ++i) out.push_back(out.back() + steps[static_cast<size_t>(i - 1) % steps.size()]);
  return out;
}

// The first composite of each month of 2014.
std::vector<int32_t> monthly_picks_of_16_day() {
  std::vector<int32_t> out;
  for (int32_t d : yearly_product_dates(2014, 2014, 1, 16))
    if (out.empty() || civil_from_days(out.back()).month != civil_from_days(d).month) out.push_back(d);
  return out;
}

struct ChoiceCase {
  std::string name;
  std::vector<int32_t> dates;
  int kind;  // GridKind as int; -1: on no grid
  int32_t step_days;
  std::vector<std::string> inserted;
};

class GridChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(GridChoiceTest, ChoosesTheGridWithTheFewestInsertedDates) {
  const ChoiceCase& c = GetParam();
  GridChoice choice;
  ASSERT_TRUE(choose_grid(c.dates, &choice).is_ok());
  ASSERT_EQ(choice.candidates.size(), 6u);
  if (c.kind < 0) {
    EXPECT_EQ(choice.fit(), nullptr) << grid_name(choice.fit()->grid);
    const std::string message = no_grid_message(choice, c.dates);
    EXPECT_NE(message.find("--step 16d|8d|month|dekad|Nd"), std::string::npos) << message;
    EXPECT_NE(message.find(std::to_string(c.dates.size()) + " dates"), std::string::npos) << message;
    for (const GridFit& f : choice.candidates) EXPECT_FALSE(f.why_not.empty()) << grid_name(f.grid);
    return;
  }
  const GridFit* fit = choice.fit();
  ASSERT_NE(fit, nullptr) << no_grid_message(choice, c.dates);
  EXPECT_EQ(static_cast<int>(fit->grid.kind), c.kind) << grid_name(fit->grid);
  EXPECT_EQ(fit->grid.step_days, c.step_days);
  EXPECT_EQ(texts(fit->inserted), c.inserted);
  // Every date in a band of its own, the inserted dates in the others.
  ASSERT_EQ(static_cast<size_t>(fit->steps()), c.dates.size() + c.inserted.size());
  std::vector<int32_t> inserted;
  for (int32_t b = 0; b < fit->steps(); ++b) {
    const int32_t at = fit->date_of_band[static_cast<size_t>(b)];
    if (at < 0) {
      inserted.push_back(fit->band_days[static_cast<size_t>(b)]);
    } else {
      EXPECT_EQ(fit->band_days[static_cast<size_t>(b)], c.dates[static_cast<size_t>(at)]);
    }
    EXPECT_EQ(step_of(fit->grid, fit->band_days[static_cast<size_t>(b)]), fit->first_step + b);
  }
  EXPECT_EQ(inserted, fit->inserted);
}

const int kTerra = static_cast<int>(GridKind::kModis16Day);
const int kAqua = static_cast<int>(GridKind::kModisAqua16Day);
const int kEight = static_cast<int>(GridKind::kModis8Day);
const int kMonth = static_cast<int>(GridKind::kMonth);
const int kDekad = static_cast<int>(GridKind::kDekad);
const int kFixed = static_cast<int>(GridKind::kFixedStep);

INSTANTIATE_TEST_SUITE_P(
    Stacks, GridChoiceTest,
    ::testing::Values(
        ChoiceCase{"terra_16d_three_composites_missing_across_a_year_change",
                   without(yearly_product_dates(2013, 2014, 1, 16), days({"2014-06-10", "2014-06-26", "2014-07-12"})),
                   kTerra, 0, {"2014-06-10", "2014-06-26", "2014-07-12"}},
        ChoiceCase{"aqua_16d_missing_the_last_of_a_year",
                   without(yearly_product_dates(2013, 2014, 9, 16), days({"2013-12-27"})), kAqua, 0, {"2013-12-27"}},
        ChoiceCase{"8d_missing_both_sides_of_new_year",
                   without(yearly_product_dates(2014, 2015, 1, 8), days({"2014-12-27", "2015-01-01"})), kEight, 0,
                   {"2014-12-27", "2015-01-01"}},
        ChoiceCase{"8d_with_every_other_missing_is_16d", yearly_product_dates(2014, 2014, 1, 16), kTerra, 0, {}},
        ChoiceCase{"monthly_any_day_one_missing",
                   days({"2014-01-15", "2014-02-03", "2014-03-31", "2014-05-20", "2014-06-01", "2014-07-16"}), kMonth,
                   0, {"2014-04-01"}},
        ChoiceCase{"one_a_month_picks_of_16d_are_monthly", monthly_picks_of_16_day(), kMonth, 0, {}},
        ChoiceCase{"dekads_at_their_starts_one_missing",
                   days({"2014-11-21", "2014-12-01", "2014-12-11", "2015-01-01", "2015-01-11"}), kDekad, 0,
                   {"2014-12-21"}},
        ChoiceCase{"dekads_at_their_ends",
                   days({"2014-01-10", "2014-01-20", "2014-01-31", "2014-02-10", "2014-02-20", "2014-02-28"}), kDekad,
                   0, {}},
        ChoiceCase{"fixed_5_days_half_missing", every("2019-03-02", 5, 8, {0, 1, 2, 7}), kFixed, 5,
                   {"2019-03-17", "2019-03-22", "2019-03-27", "2019-04-01"}},
        ChoiceCase{"a_32_day_step_is_too_coarse", every("2019-01-31", 32, 12), kMonth, 0, {"2019-02-01"}},
        ChoiceCase{"sparse_5_day_acquisitions", every("2019-03-01", 5, 28, {0, 1, 5, 9, 14, 18, 23, 27}), -1, 0, {}},
        ChoiceCase{"daily_acquisitions", without(every("2019-01-01", 1, 40), days({"2019-01-09", "2019-01-30"})), -1, 0,
                   {}},
        ChoiceCase{"two_dates_show_no_step", days({"2019-01-05", "2019-01-08"}), -1, 0, {}},
        ChoiceCase{"sentinel2_two_orbits", alternating("2019-04-01", {2, 3}, 40), -1, 0, {}},
        ChoiceCase{"landsat_two_paths", alternating("2015-01-03", {7, 9}, 30), -1, 0, {}},
        ChoiceCase{"fixed_16_days_off_the_modis_grid", every("2013-04-11", 16, 30), kFixed, 16, {}}),
    [](const auto& info) { return ::tsr::testing::param_name(info.param.name); });

TEST(TimeGrid, RefusesDatesOutOfOrderOrTwice) {
  const std::vector<std::vector<int32_t>> lists = {{}, days({"2014-01-17", "2014-01-01"}), days({"2014-01-01", "2014-01-01"})};
  for (const auto& list : lists) {
    GridChoice choice;
    GridFit fit;
    EXPECT_FALSE(choose_grid(list, &choice).is_ok());
    EXPECT_FALSE(fit_grid({GridKind::kMonth, 0, 0}, list, &fit).is_ok());
  }
}

// The steps of each grid against the definition of their first days, on
// every day of 1999 to 2031.
TEST(TimeGrid, StepsFollowTheirFirstDays) {
  struct Case {
    TimeGrid grid;
    bool (*first_day)(const CivilDate& d, int32_t doy);
  };
  const Case cases[] = {
      {{GridKind::kModis16Day, 0, 0}, [](const CivilDate&, int32_t doy) { return doy % 16 == 1 && doy <= 353; }},
      {{GridKind::kModisAqua16Day, 0, 0}, [](const CivilDate&, int32_t doy) { return doy % 16 == 9; }},
      {{GridKind::kModis8Day, 0, 0}, [](const CivilDate&, int32_t doy) { return doy % 8 == 1; }},
      {{GridKind::kMonth, 0, 0}, [](const CivilDate& d, int32_t) { return d.day == 1; }},
      {{GridKind::kDekad, 0, 0}, [](const CivilDate& d, int32_t) { return d.day == 1 || d.day == 11 || d.day == 21; }},
  };
  for (const Case& c : cases) {
    const int32_t first = day("1999-01-01"), last = day("2031-12-31");
    int32_t step = step_of(c.grid, first);
    for (int32_t d = first; d <= last; ++d) {
      const CivilDate date = civil_from_days(d);
      const bool starts = c.first_day(date, day_of_year(d));
      if (d > first) {
        const int32_t next = step_of(c.grid, d);
        ASSERT_EQ(next, starts ? step + 1 : step) << grid_name(c.grid) << " " << format_date(d);
        step = next;
      }
      if (starts) {
        ASSERT_EQ(step_start(c.grid, step), d) << grid_name(c.grid);
      }
    }
  }
  const TimeGrid fixed{GridKind::kFixedStep, 10, day("2020-01-05")};
  EXPECT_EQ(step_of(fixed, day("2020-01-04")), -1);
  EXPECT_EQ(step_start(fixed, step_of(fixed, day("2020-02-20"))), day("2020-02-14"));
}

TEST(TimeGrid, ParsesStep) {
  const std::pair<std::string, TimeGrid> good[] = {{"16d", {GridKind::kModis16Day, 0, 0}},
                                                   {"8d", {GridKind::kModis8Day, 0, 0}},
                                                   {"month", {GridKind::kMonth, 0, 0}},
                                                   {"dekad", {GridKind::kDekad, 0, 0}},
                                                   {"2d", {GridKind::kFixedStep, 2, 7}},
                                                   {"31d", {GridKind::kFixedStep, 31, 7}}};
  for (const auto& [text, grid] : good) {
    TimeGrid g;
    EXPECT_TRUE(parse_step(text, 7, &g).is_ok()) << text;
    EXPECT_EQ(g, grid) << text;
  }
  for (std::string text : {"1d", "32d", "16", "05d", "x5d", "Month"}) {
    TimeGrid g;
    EXPECT_NE(parse_step(text, 7, &g).text().find("--step " + text), std::string::npos) << text;
  }
}

TEST(TimeGrid, LongRecordsAreRefusedWithAWindow) {
  // 16 years of 16-day composites from 2000-02-18 (day of the year 49).
  std::vector<int32_t> dates = yearly_product_dates(2000, 2015, 1, 16);
  dates.erase(dates.begin(), dates.begin() + 3);
  GridFit fit;
  ASSERT_TRUE(fit_grid({GridKind::kModis16Day, 0, 0}, dates, &fit).is_ok());
  ASSERT_TRUE(fit.holds);
  const Status s = check_step_count(fit.grid, fit.first_step, fit.steps(), dates.size());
  ASSERT_FALSE(s.is_ok());
  const std::string expected = "--from 2000-02-18 --to " + format_date(dates[200] - 1) + " takes the first 200";
  EXPECT_NE(s.text().find(expected), std::string::npos) << s.text();
  EXPECT_NE(s.text().find("the Python package"), std::string::npos);
  EXPECT_NE(s.text().find(std::to_string(dates.size()) + " steps"), std::string::npos) << s.text();
  EXPECT_TRUE(check_step_count(fit.grid, fit.first_step, 200, 200).is_ok());
}

TEST(TimeGrid, DatesInWindowIncludeBothEnds) {
  const std::vector<int32_t> list = days({"2014-01-01", "2014-01-17", "2014-02-02", "2014-02-18"});
  const std::pair<DateWindow, std::pair<size_t, size_t>> cases[] = {
      {{day("2014-01-01"), day("2014-02-18")}, {0, 4}}, {{day("2014-01-02"), day("2014-02-02")}, {1, 3}},
      {{day("2014-02-19"), day("2015-01-01")}, {4, 4}}, {{day("2014-02-10"), day("2014-01-10")}, {3, 3}}};
  for (const auto& [window, range] : cases) {
    std::pair<size_t, size_t> got;
    dates_in_window(list, window, &got.first, &got.second);
    EXPECT_EQ(got, range) << format_date(window.from) << " " << format_date(window.to);
  }
}

TEST(TimeGrid, NpointAgainstTheStepsOfAYear) {
  struct Case {
    TimeGrid grid;
    int32_t npoint;
    NpointVerdict verdict;
    int32_t suggested;
    int32_t years;
    double drift_days;  // for 200 bands
  };
  const Case cases[] = {
      {{GridKind::kModis16Day, 0, 0}, 23, NpointVerdict::kMatches, 23, 1, 0},
      {{GridKind::kModisAqua16Day, 0, 0}, 46, NpointVerdict::kWholeYears, 23, 2, 0},
      {{GridKind::kModis16Day, 0, 0}, 24, NpointVerdict::kMismatch, 23, 0, 0},
      {{GridKind::kModis8Day, 0, 0}, 23, NpointVerdict::kMismatch, 46, 0, 0},
      {{GridKind::kMonth, 0, 0}, 12, NpointVerdict::kMatches, 12, 1, 0},
      {{GridKind::kDekad, 0, 0}, 36, NpointVerdict::kMatches, 36, 1, 0},
      // 23 steps of 16 days are 368 days: 199 steps later the cycle has slid
      // 199 x 16 x 2.75 / 368 days.
      {{GridKind::kFixedStep, 16, 0}, 23, NpointVerdict::kMatches, 23, 1, 199 * 16 * 2.75 / 368},
      {{GridKind::kFixedStep, 5, 0}, 73, NpointVerdict::kMatches, 73, 1, 199 * 5 * 0.25 / 365},
      {{GridKind::kFixedStep, 10, 0}, 36, NpointVerdict::kMismatch, 37, 0, 199 * 10 * 4.75 / 370},
  };
  for (const Case& c : cases) {
    const NpointCheck n = check_npoint(c.grid, c.npoint, 200);
    EXPECT_EQ(n.verdict, c.verdict) << grid_name(c.grid) << " " << c.npoint;
    EXPECT_EQ(n.suggested, c.suggested) << grid_name(c.grid);
    EXPECT_EQ(n.years, c.years) << grid_name(c.grid);
    EXPECT_NEAR(n.drift_days, c.drift_days, 1e-9) << grid_name(c.grid);
  }
}

}  // namespace
}  // namespace tsr
