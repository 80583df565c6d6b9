// The rules of real stacks (src/stack) that the package's layers check a cube
// and its time axis with: the calendar, CF time axes, the grids in time and
// NPOINT against them, compositing onto a grid, and the missing-sample rule.
// One binding per C++ function, under its name; refusals raise ValueError
// with the rule's own message.
#include "stack_checks.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "stack/composite.h"
#include "stack/dates.h"
#include "stack/missing_samples.h"
#include "stack/time_grid.h"

namespace py = pybind11;

namespace {

void raise_unless_ok(const tsr::Status& s) {
  if (!s.is_ok()) throw py::value_error(s.message());
}

// `a` as a C-contiguous array of T shaped (planes, pixels): planes its first
// dimension, pixels the product of the others (1 for a 1-D array).
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> planes_of(const py::array& a, const char* what,
                                                                 py::ssize_t* planes, py::ssize_t* pixels) {
  if (!a.dtype().is(py::dtype::of<T>()))
    throw py::type_error(std::string(what) + " must be a NumPy array of " + std::string(py::str(py::dtype::of<T>())));
  if (a.ndim() < 1) throw py::value_error(std::string(what) + " must have a first dimension (bands or planes)");
  *planes = a.shape(0);
  *pixels = 1;
  for (py::ssize_t d = 1; d < a.ndim(); ++d) *pixels *= a.shape(d);
  return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
}

const char* verdict_name(tsr::NpointVerdict v) {
  switch (v) {
    case tsr::NpointVerdict::kMatches: return "matches";
    case tsr::NpointVerdict::kWholeYears: return "whole_years";
    case tsr::NpointVerdict::kMismatch: return "mismatch";
  }
  return "";
}

int32_t days_from_civil(int32_t year, int32_t month, int32_t day) {
  const tsr::CivilDate d{year, month, day};
  if (!tsr::is_valid_date(d))
    throw py::value_error(std::to_string(year) + "-" + std::to_string(month) + "-" + std::to_string(day) +
                          " is no date of the Gregorian calendar in the years 1 to 9999");
  return tsr::days_from_civil(d);
}

void require_day(int32_t day) {
  if (day < tsr::kFirstDayNumber || day > tsr::kLastDayNumber)
    throw py::value_error("day number " + std::to_string(day) + " lies outside the years 1 to 9999");
}

std::vector<int32_t> decode_cf_time(const py::array_t<double, py::array::c_style | py::array::forcecast>& values,
                                    const std::string& units, const std::string& calendar) {
  std::vector<int32_t> days;
  raise_unless_ok(tsr::decode_cf_time(values.data(), static_cast<size_t>(values.size()), units, calendar, &days));
  return days;
}

tsr::GridChoice choose_grid(const std::vector<int32_t>& days) {
  tsr::GridChoice choice;
  raise_unless_ok(tsr::choose_grid(days, &choice));
  return choice;
}

tsr::GridFit fit_grid(const tsr::TimeGrid& grid, const std::vector<int32_t>& days) {
  tsr::GridFit fit;
  raise_unless_ok(tsr::fit_grid(grid, days, &fit));
  return fit;
}

tsr::TimeGrid parse_step(const std::string& text, int32_t origin) {
  tsr::TimeGrid grid;
  raise_unless_ok(tsr::parse_step(text, origin, &grid));
  return grid;
}

tsr::CompositeRule parse_composite_rule(const std::string& text) {
  tsr::CompositeRule rule = tsr::CompositeRule::kMedian;
  raise_unless_ok(tsr::parse_composite_rule(text, &rule));
  return rule;
}

tsr::CompositePlan plan_composite(const tsr::TimeGrid& grid, const std::vector<int32_t>& days) {
  tsr::CompositePlan plan;
  raise_unless_ok(tsr::plan_composite(grid, days, tsr::DateWindow{}, &plan));
  return plan;
}

// composite_step(values float64 (k, ...), valid uint8 (k, ...), rule) ->
// (values float64, valid uint8, count int32), each shaped as one plane.
py::tuple composite_step(const py::array& values_obj, const py::array& valid_obj, tsr::CompositeRule rule) {
  py::ssize_t planes = 0, pixels = 0, valid_planes = 0, valid_pixels = 0;
  const auto values = planes_of<double>(values_obj, "values", &planes, &pixels);
  const auto valid = planes_of<uint8_t>(valid_obj, "valid", &valid_planes, &valid_pixels);
  if (valid_planes != planes || valid_pixels != pixels) throw py::value_error("valid must have the shape of values");
  std::vector<py::ssize_t> plane_shape(values.shape() + 1, values.shape() + values.ndim());
  py::array_t<double> out(plane_shape);
  py::array_t<uint8_t> out_valid(plane_shape);
  py::array_t<int32_t> count(plane_shape);
  std::vector<const double*> v(static_cast<size_t>(planes));
  std::vector<const uint8_t*> ok(static_cast<size_t>(planes));
  for (py::ssize_t k = 0; k < planes; ++k) v[k] = values.data() + k * pixels, ok[k] = valid.data() + k * pixels;
  tsr::Status s;
  {
    py::gil_scoped_release released;
    s = tsr::composite_step(v.data(), ok.data(), static_cast<int32_t>(planes), pixels, rule, out.mutable_data(),
                            out_valid.mutable_data(), count.mutable_data());
  }
  raise_unless_ok(s);
  return py::make_tuple(out, out_valid, count);
}

// count_missing(values int16 (bands, ...), missing_code) -> int32 per pixel.
py::array_t<int32_t> count_missing(const py::array& values_obj, int16_t missing_code) {
  py::ssize_t bands = 0, pixels = 0;
  const auto values = planes_of<int16_t>(values_obj, "values", &bands, &pixels);
  py::array_t<int32_t> missing(pixels);
  int32_t* m = missing.mutable_data();
  {
    py::gil_scoped_release released;
    std::fill(m, m + pixels, 0);
    tsr::count_missing(values.data(), pixels, static_cast<int32_t>(bands), 1, pixels, missing_code, m);
  }
  return missing;
}

// count_invalid(valid uint8 (bands, ...)) -> int32 per pixel.
py::array_t<int32_t> count_invalid(const py::array& valid_obj) {
  py::ssize_t bands = 0, pixels = 0;
  const auto valid = planes_of<uint8_t>(valid_obj, "valid", &bands, &pixels);
  py::array_t<int32_t> missing(pixels);
  int32_t* m = missing.mutable_data();
  {
    py::gil_scoped_release released;
    std::fill(m, m + pixels, 0);
    tsr::count_invalid(valid.data(), pixels, static_cast<int32_t>(bands), 1, pixels, m);
  }
  return missing;
}

// judge_missing_samples(missing int32 per pixel, bands, mask, excluded_count):
// the tally of the counts, judged for a job of those settings.
tsr::MissingSampleVerdict judge_missing_samples(const py::array& missing_obj, int32_t bands, int32_t mask,
                                                int32_t excluded_count) {
  if (bands < 1) throw py::value_error("bands must be 1 or more");
  py::ssize_t n = 0, rest = 0;
  const auto missing = planes_of<int32_t>(missing_obj, "missing", &n, &rest);
  tsr::MissingSampleTally tally(bands);
  raise_unless_ok(tally.add(missing.data(), missing.size()));
  return tsr::judge_missing_samples(tally, {mask, excluded_count});
}

}  // namespace

void add_stack_checks(py::module_& m) {
  m.def("days_from_civil", &days_from_civil, py::arg("year"), py::arg("month"), py::arg("day"));
  m.def("civil_from_days", [](int32_t day) {
    require_day(day);
    const tsr::CivilDate d = tsr::civil_from_days(day);
    return py::make_tuple(d.year, d.month, d.day);
  }, py::arg("day"));
  m.def("format_date", [](int32_t day) {
    require_day(day);
    return tsr::format_date(day);
  }, py::arg("day"));
  m.def("decode_cf_time", &decode_cf_time, py::arg("values"), py::arg("units"), py::arg("calendar"));

  py::class_<tsr::TimeGrid>(m, "TimeGrid")
      .def_property_readonly("name", [](const tsr::TimeGrid& g) { return tsr::grid_name(g); })
      .def_readonly("step_days", &tsr::TimeGrid::step_days)
      .def_readonly("origin", &tsr::TimeGrid::origin)
      .def("__repr__", [](const tsr::TimeGrid& g) { return "<TimeGrid " + tsr::grid_name(g) + ">"; });
  py::class_<tsr::GridFit>(m, "GridFit")
      .def_readonly("grid", &tsr::GridFit::grid)
      .def_readonly("holds", &tsr::GridFit::holds)
      .def_readonly("why_not", &tsr::GridFit::why_not)
      .def_readonly("first_step", &tsr::GridFit::first_step)
      .def_readonly("band_days", &tsr::GridFit::band_days)
      .def_readonly("date_of_band", &tsr::GridFit::date_of_band)
      .def_readonly("inserted", &tsr::GridFit::inserted);
  py::class_<tsr::GridChoice>(m, "GridChoice")
      .def_readonly("candidates", &tsr::GridChoice::candidates)
      .def_property_readonly("fit", [](const tsr::GridChoice& c) -> py::object {
        return c.fit() == nullptr ? py::none() : py::cast(*c.fit());
      });
  m.def("choose_grid", &choose_grid, py::arg("days"));
  m.def("fit_grid", &fit_grid, py::arg("grid"), py::arg("days"));
  m.def("no_grid_message", &tsr::no_grid_message, py::arg("choice"), py::arg("days"), py::arg("remedy"));
  m.def("steps_per_year", &tsr::steps_per_year, py::arg("grid"));
  m.def("parse_step", &parse_step, py::arg("text"), py::arg("origin"));

  py::class_<tsr::NpointCheck>(m, "NpointCheck")
      .def_readonly("steps_per_year", &tsr::NpointCheck::steps_per_year)
      .def_readonly("suggested", &tsr::NpointCheck::suggested)
      .def_property_readonly("verdict", [](const tsr::NpointCheck& c) { return verdict_name(c.verdict); })
      .def_readonly("years", &tsr::NpointCheck::years)
      .def_readonly("drift_days", &tsr::NpointCheck::drift_days);
  m.def("check_npoint", [](const tsr::TimeGrid& grid, int32_t npoint, int32_t bands) {
    if (npoint < 1 || bands < 1) throw py::value_error("npoint and bands must be 1 or more");
    return tsr::check_npoint(grid, npoint, bands);
  }, py::arg("grid"), py::arg("npoint"), py::arg("bands"));

  py::enum_<tsr::CompositeRule>(m, "CompositeRule")
      .value("MEDIAN", tsr::CompositeRule::kMedian)
      .value("MAX", tsr::CompositeRule::kMax);
  py::class_<tsr::CompositePlan>(m, "CompositePlan")
      .def_readonly("grid", &tsr::CompositePlan::grid)
      .def_readonly("band_days", &tsr::CompositePlan::band_days)
      .def_readonly("sources", &tsr::CompositePlan::sources)
      .def_property_readonly("empty_steps", &tsr::CompositePlan::empty_steps);
  m.def("parse_composite_rule", &parse_composite_rule, py::arg("text"));
  m.def("plan_composite", &plan_composite, py::arg("grid"), py::arg("days"));
  m.def("composite_step", &composite_step, py::arg("values"), py::arg("valid"), py::arg("rule"));

  m.attr("DEFAULT_MISSING_CODE") = tsr::kDefaultMissingCode;
  m.def("count_missing", &count_missing, py::arg("values"), py::arg("missing_code"));
  m.def("count_invalid", &count_invalid, py::arg("valid"));
  py::class_<tsr::MissingSampleVerdict>(m, "MissingSampleVerdict")
      .def_readonly("bands", &tsr::MissingSampleVerdict::bands)
      .def_readonly("pixels", &tsr::MissingSampleVerdict::pixels)
      .def_readonly("samples_missing", &tsr::MissingSampleVerdict::samples_missing)
      .def_readonly("pixels_empty", &tsr::MissingSampleVerdict::pixels_empty)
      .def_readonly("pixels_few", &tsr::MissingSampleVerdict::pixels_few)
      .def_readonly("pixels_many", &tsr::MissingSampleVerdict::pixels_many)
      .def_readonly("pixels_ruined", &tsr::MissingSampleVerdict::pixels_ruined);
  m.def("judge_missing_samples", &judge_missing_samples, py::arg("missing"), py::arg("bands"), py::arg("mask"),
        py::arg("excluded_count"));
  m.def("format_missing_counts", &tsr::format_missing_counts, py::arg("verdict"));
}
