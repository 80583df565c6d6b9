#include "domain/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "domain/npoint.h"
#include "domain/run_files.h"

namespace tsr {
namespace {

TEST(Model, ParameterNamesFollowTheLayout) {
  EXPECT_EQ(parameter_names(0), (std::vector<std::string>{"constant", "trend"}));
  EXPECT_EQ(parameter_names(2),
            (std::vector<std::string>{"constant", "trend", "amplitude_1", "phase_1", "amplitude_2", "phase_2"}));
  const std::vector<std::string> six = parameter_names(kMaxHarmonics);
  ASSERT_EQ(six.size(), 14u);
  for (int32_t k = 1; k <= kMaxHarmonics; ++k) {
    EXPECT_EQ(six[amplitude_plane(k)], "amplitude_" + std::to_string(k));
    EXPECT_EQ(six[phase_plane(k)], "phase_" + std::to_string(k));
    EXPECT_TRUE(is_phase_plane(phase_plane(k)) && !is_phase_plane(amplitude_plane(k)));
  }
  EXPECT_FALSE(is_phase_plane(kConstantPlane) || is_phase_plane(kTrendPlane));
  EXPECT_EQ(time_step_names(3), (std::vector<std::string>{"t1", "t2", "t3"}));
  EXPECT_EQ(time_step_names(200).back(), "t200");
}

TEST(Model, NoModelOnTheFitsOutcomeAndOnTheStoredProducts) {
  struct FitCase {
    double criterion;
    int32_t order;
    bool no_model;
  };
  const FitCase fits[] = {{-12.5, 2, false}, {0.0, 5, true}, {-0.0, 5, true}, {-3.0, 1, true},
                          {-3.0, -1, true},  {9.9e9, 4, false}};
  for (const FitCase& c : fits) EXPECT_EQ(fit_has_no_model(c.criterion, c.order), c.no_model) << c.criterion;

  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct StoredCase {
    const char* name;
    int8_t order;
    std::vector<float> params;  // plane by plane, two pixels interleaved: the first is tested
    bool has_model;
  };
  const StoredCase stored[] = {
      {"a model", 3, {0, 9, 0.5f, 9, 0, 9, 0, 9}, true},
      {"a model in the last plane", 2, {0, 9, 0, 9, 0, 9, 1e-30f, 9}, true},
      {"all parameters zero", 4, {0, 9, -0.0f, 9, 0, 9, 0, 9}, false},
      {"order 1", 1, {1, 9, 1, 9, 1, 9, 1, 9}, false},
      {"gave up", -1, {1, 9, 1, 9, 1, 9, 1, 9}, false},
      {"not a number counts", 2, {0, 9, nan, 9, 0, 9, 0, 9}, true},
  };
  for (const StoredCase& c : stored)
    EXPECT_EQ(stored_has_model(c.order, c.params.data(), 4, 2), c.has_model) << c.name;
}

TEST(Npoint, SoundHarmonicsStepsPerYearAndTheNote) {
  // NFUNC at most: 46 -> 6, 36 -> 6, 23 -> 5, 12 -> 4.
  const std::pair<int32_t, int32_t> sound[] = {{46, 6}, {36, 6}, {25, 6}, {24, 5}, {23, 5}, {13, 5}, {12, 4},
                                               {9, 4}, {8, 3}, {5, 2}, {4, 1}, {2, 0}, {1, 0}};
  for (const auto& [npoint, nfunc] : sound) EXPECT_EQ(sound_nfunc(npoint), nfunc) << npoint;
  struct Step {
    double days;
    int32_t npoint;
    const char* basis;
  };
  const Step steps[] = {{8, 46, "8-day composites"},   {8.5, 46, "8-day composites"}, {10, 36, "10-day composites"},
                        {16, 23, "16-day composites"}, {15.5, 23, "16-day composites"}, {28, 12, "monthly"},
                        {31, 12, "monthly"},           {30.5, 12, "monthly"},         {1, 365, "round(365.25 / 1)"},
                        {5, 73, "round(365.25 / 5)"},  {14, 26, "round(365.25 / 14)"}, {365, 1, "round(365.25 / 365)"},
                        {12.5, 29, "round(365.25 / 12.5)"}, {1e-9, INT32_MAX, "round(365.25 / 1e-09)"}};
  for (const Step& s : steps) {
    const NpointChoice c = npoint_for_step(s.days);
    EXPECT_EQ(c.npoint, s.npoint) << s.days;
    EXPECT_EQ(c.basis, s.basis) << s.days;
  }
  // The one rule from a grid's steps a year: halves up, at least 1, the
  // largest count for what 32 bits cannot hold.
  const std::pair<double, int32_t> per_year[] = {{23, 23},        {46, 46},           {12, 12},      {36, 36},
                                                 {365.25 / 10, 37}, {365.25 / 3, 122}, {365.25 / 14, 26},
                                                 {22.5, 23},      {22.499, 22},       {0.2, 1},      {-4, 1},
                                                 {3e9, INT32_MAX}, {std::nan(""), INT32_MAX}};
  for (const auto& [steps, npoint] : per_year) EXPECT_EQ(npoint_for_steps_per_year(steps), npoint) << steps;
  EXPECT_EQ(nfunc_note(46, 6), "all six harmonics (1, 2, 3, 4, 6, 12 cycles in NPOINT=46 steps) lie below half of "
                               "NPOINT");
  EXPECT_EQ(nfunc_note(23, 5), "harmonics of 1, 2, 3, 4, 6 cycles in NPOINT=23 steps; 12 cycles would sit at or "
                               "beyond half of NPOINT (the sampling limit)");
  EXPECT_EQ(nfunc_note(2, 0), "no harmonic for NPOINT=2; 1, 2, 3, 4, 6, 12 cycles would sit at or beyond half of "
                              "NPOINT (the sampling limit)");
}

}  // namespace
}  // namespace tsr
