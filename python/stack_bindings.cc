#include "stack_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "stack/composite.h"
#include "stack/dates.h"
#include "stack/missing_samples.h"
#include "stack/quality.h"
#include "stack/time_grid.h"

namespace py = pybind11;

namespace {

// A refusal of the rules as a ValueError with its message.
void raise_if_refused(const tsr::Status& s) {
  if (!s.is_ok()) throw py::value_error(s.message());
}

template <typename T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

// `a` as a C-contiguous array of exactly T (a TypeError naming `what` for
// another element type; bool is taken for uint8).
template <typename T>
Array<T> exactly(py::handle a, const char* what) {
  if (py::isinstance<py::array>(a)) {
    const py::dtype dt = py::reinterpret_borrow<py::array>(a).dtype();
    if (dt.is(py::dtype::of<T>()) || (std::is_same_v<T, uint8_t> && dt.is(py::dtype::of<bool>())))
      return Array<T>::ensure(a.attr("view")(py::dtype::of<T>()));
  }
  throw py::type_error(std::string(what) + " must be a NumPy array of " + std::string(py::str(py::dtype::of<T>())));
}

std::vector<py::ssize_t> shape_of(const py::array& a) { return {a.shape(), a.shape() + a.ndim()}; }

// `counts` as a writable C-contiguous int32 array of the shape of the
// planes of `planes` (shaped (bands,) + S, or S for one band): the pixels
// and the bands.
struct Planes {
  py::ssize_t pixels = 0;
  int32_t bands = 0;
};
Planes planes_of(const py::array& planes, const py::array& counts, const char* what) {
  const std::vector<py::ssize_t> ps = shape_of(planes), cs = shape_of(counts);
  Planes p;
  if (ps == cs) {
    p.bands = 1;
  } else if (!ps.empty() && std::vector<py::ssize_t>(ps.begin() + 1, ps.end()) == cs) {
    p.bands = static_cast<int32_t>(ps[0]);
  } else {
    throw py::value_error(std::string(what) + " must be shaped (bands,) + the shape of missing, or as missing");
  }
  p.pixels = counts.size();
  return p;
}

py::array_t<int32_t> writable_counts(py::handle missing) {
  if (!py::isinstance<py::array>(missing) ||
      !py::reinterpret_borrow<py::array>(missing).dtype().is(py::dtype::of<int32_t>()))
    throw py::type_error("missing must be a NumPy array of int32");
  auto m = py::reinterpret_borrow<py::array_t<int32_t>>(missing);
  if (!(m.flags() & py::array::c_style) || !m.writeable())
    throw py::value_error("missing must be a writable C-contiguous array");
  return m;
}

// QualityRule::apply on a layer as stored, whatever its integer type.
template <typename T>
bool apply_as(const tsr::QualityRule& rule, py::handle quality, uint8_t* valid, py::ssize_t n, tsr::QualityTally* t) {
  const py::array a = py::reinterpret_borrow<py::array>(quality);
  if (!a.dtype().is(py::dtype::of<T>())) return false;
  const Array<T> q = Array<T>::ensure(a);
  if (q.size() != n) throw py::value_error("quality and valid must have the same shape");
  const T* data = q.data();
  py::gil_scoped_release released;
  rule.apply(data, static_cast<int64_t>(n), valid, t);
  return true;
}

void quality_apply(const tsr::QualityRule& rule, py::handle quality, py::handle valid_obj, tsr::QualityTally* tally) {
  if (!py::isinstance<py::array>(quality)) throw py::type_error("quality must be a NumPy array of integers");
  if (!py::isinstance<py::array>(valid_obj)) throw py::type_error("valid must be a NumPy array of uint8");
  auto valid = py::reinterpret_borrow<py::array>(valid_obj);
  if (!(valid.dtype().is(py::dtype::of<uint8_t>()) || valid.dtype().is(py::dtype::of<bool>())) ||
      !(valid.flags() & py::array::c_style) || !valid.writeable())
    throw py::type_error("valid must be a writable C-contiguous NumPy array of uint8 or bool");
  auto* v = static_cast<uint8_t*>(valid.mutable_data());
  const py::ssize_t n = valid.size();
  if (!(apply_as<int8_t>(rule, quality, v, n, tally) || apply_as<uint8_t>(rule, quality, v, n, tally) ||
        apply_as<int16_t>(rule, quality, v, n, tally) || apply_as<uint16_t>(rule, quality, v, n, tally) ||
        apply_as<int32_t>(rule, quality, v, n, tally) || apply_as<uint32_t>(rule, quality, v, n, tally) ||
        apply_as<int64_t>(rule, quality, v, n, tally)))
    throw py::type_error("quality must be a NumPy array of 8-, 16-, 32- or 64-bit integers (as the layer stores them)");
}

// composite_step on planes shaped (acquisitions,) + S -> (values S, valid S,
// per pixel the samples that counted S).
py::tuple composite_step(py::handle values_obj, py::handle valid_obj, tsr::CompositeRule rule) {
  const Array<double> values = exactly<double>(values_obj, "values");
  const Array<uint8_t> valid = exactly<uint8_t>(valid_obj, "valid");
  const std::vector<py::ssize_t> shape = shape_of(values);
  if (shape.empty() || shape_of(valid) != shape)
    throw py::value_error("values and valid must have one shape, (acquisitions,) + the shape of the planes");
  const std::vector<py::ssize_t> plane(shape.begin() + 1, shape.end());
  py::ssize_t pixels = 1;
  for (py::ssize_t d : plane) pixels *= d;
  const auto planes = static_cast<int32_t>(shape[0]);
  std::vector<const double*> v(static_cast<size_t>(planes));
  std::vector<const uint8_t*> ok(static_cast<size_t>(planes));
  for (int32_t k = 0; k < planes; ++k) {
    v[static_cast<size_t>(k)] = values.data() + k * pixels;
    ok[static_cast<size_t>(k)] = valid.data() + k * pixels;
  }
  py::array_t<double> out(plane);
  py::array_t<uint8_t> out_valid(plane);
  py::array_t<int32_t> count(plane);
  tsr::Status s;
  {
    py::gil_scoped_release released;
    s = tsr::composite_step(v.data(), ok.data(), planes, pixels, rule, out.mutable_data(), out_valid.mutable_data(),
                            count.mutable_data());
  }
  raise_if_refused(s);
  return py::make_tuple(out, out_valid, count);
}

}  // namespace

void add_stack(py::module_& m) {
  // Dates: day numbers since 1970-01-01.
  m.attr("FIRST_DAY_NUMBER") = tsr::kFirstDayNumber;
  m.attr("LAST_DAY_NUMBER") = tsr::kLastDayNumber;
  m.def("parse_date", [](std::string_view text) -> py::object {
    int32_t day = 0;
    if (!tsr::parse_date(text, &day)) return py::none();
    return py::int_(day);
  }, py::arg("text"), "YYYY-MM-DD -> day number, or None");
  m.def("format_date", [](int32_t day) {
    if (day < tsr::kFirstDayNumber || day > tsr::kLastDayNumber) throw py::value_error("day outside the years 1..9999");
    return tsr::format_date(day);
  }, py::arg("day"));
  m.def("parse_number_list", [](std::string_view text) {
    std::vector<double> values;
    raise_if_refused(tsr::parse_number_list(text, &values));
    return values;
  }, py::arg("text"));
  m.def("decode_cf_time", [](const std::vector<double>& values, std::string_view units, std::string_view calendar) {
    std::vector<int32_t> days;
    raise_if_refused(tsr::decode_cf_time(values.data(), values.size(), units, calendar, &days));
    return days;
  }, py::arg("values"), py::arg("units"), py::arg("calendar") = "");

  // Grids in time.
  m.attr("MAX_STEPS") = tsr::kMaxSteps;
  py::enum_<tsr::GridKind>(m, "GridKind")
      .value("MODIS_16_DAY", tsr::GridKind::kModis16Day)
      .value("MODIS_AQUA_16_DAY", tsr::GridKind::kModisAqua16Day)
      .value("MODIS_8_DAY", tsr::GridKind::kModis8Day)
      .value("MONTH", tsr::GridKind::kMonth)
      .value("DEKAD", tsr::GridKind::kDekad)
      .value("FIXED_STEP", tsr::GridKind::kFixedStep);
  py::class_<tsr::TimeGrid>(m, "TimeGrid")
      .def(py::init([](tsr::GridKind kind, int32_t step_days, int32_t origin) {
             return tsr::TimeGrid{kind, step_days, origin};
           }), py::arg("kind"), py::arg("step_days") = 0, py::arg("origin") = 0)
      .def_readwrite("kind", &tsr::TimeGrid::kind)
      .def_readwrite("step_days", &tsr::TimeGrid::step_days)
      .def_readwrite("origin", &tsr::TimeGrid::origin)
      .def(py::self == py::self)
      .def("__repr__", [](const tsr::TimeGrid& g) { return "<TimeGrid " + tsr::grid_name(g) + ">"; });
  m.def("grid_name", &tsr::grid_name, py::arg("grid"));
  m.def("steps_per_year", &tsr::steps_per_year, py::arg("grid"));
  m.def("parse_step", [](std::string_view text, int32_t origin) {
    tsr::TimeGrid grid;
    raise_if_refused(tsr::parse_step(text, origin, &grid));
    return grid;
  }, py::arg("text"), py::arg("origin"));
  py::class_<tsr::GridFit>(m, "GridFit")
      .def_readonly("grid", &tsr::GridFit::grid)
      .def_readonly("holds", &tsr::GridFit::holds)
      .def_readonly("why_not", &tsr::GridFit::why_not)
      .def_readonly("first_step", &tsr::GridFit::first_step)
      .def_readonly("band_days", &tsr::GridFit::band_days)
      .def_readonly("date_of_band", &tsr::GridFit::date_of_band)
      .def_readonly("inserted", &tsr::GridFit::inserted)
      .def("steps", &tsr::GridFit::steps);
  m.def("fit_grid", [](const tsr::TimeGrid& grid, const std::vector<int32_t>& days) {
    tsr::GridFit fit;
    raise_if_refused(tsr::fit_grid(grid, days, &fit));
    return fit;
  }, py::arg("grid"), py::arg("days"));
  py::class_<tsr::GridChoice>(m, "GridChoice")
      .def_readonly("candidates", &tsr::GridChoice::candidates)
      .def_readonly("chosen", &tsr::GridChoice::chosen)
      .def_property_readonly("fit", [](const tsr::GridChoice& c) -> py::object {
        return c.fit() == nullptr ? py::none() : py::cast(*c.fit());
      });
  m.def("choose_grid", [](const std::vector<int32_t>& days) {
    tsr::GridChoice choice;
    raise_if_refused(tsr::choose_grid(days, &choice));
    return choice;
  }, py::arg("days"));
  m.def("no_grid_message", &tsr::no_grid_message, py::arg("choice"), py::arg("days"));
  m.def("dates_in_window", [](const std::vector<int32_t>& days, int32_t from_day, int32_t to_day) {
    size_t begin = 0, end = 0;
    tsr::dates_in_window(days, {from_day, to_day}, &begin, &end);
    return py::make_tuple(begin, end);
  }, py::arg("days"), py::arg("from_day") = tsr::kFirstDayNumber, py::arg("to_day") = tsr::kLastDayNumber,
     "the dates from from_day to to_day, both included: (begin, end) of days[begin:end]");
  m.def("check_step_count", [](const tsr::TimeGrid& grid, int32_t first_step, int32_t steps, size_t dates) {
    raise_if_refused(tsr::check_step_count(grid, first_step, steps, dates));
  }, py::arg("grid"), py::arg("first_step"), py::arg("steps"), py::arg("dates"));
  py::enum_<tsr::NpointVerdict>(m, "NpointVerdict")
      .value("MATCHES", tsr::NpointVerdict::kMatches)
      .value("WHOLE_YEARS", tsr::NpointVerdict::kWholeYears)
      .value("MISMATCH", tsr::NpointVerdict::kMismatch);
  py::class_<tsr::NpointCheck>(m, "NpointCheck")
      .def_readonly("steps_per_year", &tsr::NpointCheck::steps_per_year)
      .def_readonly("suggested", &tsr::NpointCheck::suggested)
      .def_readonly("verdict", &tsr::NpointCheck::verdict)
      .def_readonly("years", &tsr::NpointCheck::years)
      .def_readonly("drift_days", &tsr::NpointCheck::drift_days);
  m.def("check_npoint", [](const tsr::TimeGrid& grid, int32_t npoint, int32_t bands) {
    if (npoint < 1 || bands < 1) throw py::value_error("npoint and bands must be 1 or more");
    return tsr::check_npoint(grid, npoint, bands);
  }, py::arg("grid"), py::arg("npoint"), py::arg("bands"));

  // Compositing.
  py::enum_<tsr::CompositeRule>(m, "CompositeRule")
      .value("MEDIAN", tsr::CompositeRule::kMedian)
      .value("MAX", tsr::CompositeRule::kMax);
  m.def("parse_composite_rule", [](std::string_view text) {
    tsr::CompositeRule rule{};
    raise_if_refused(tsr::parse_composite_rule(text, &rule));
    return rule;
  }, py::arg("text"));
  py::class_<tsr::CompositePlan>(m, "CompositePlan")
      .def_readonly("grid", &tsr::CompositePlan::grid)
      .def_readonly("first_step", &tsr::CompositePlan::first_step)
      .def_readonly("band_days", &tsr::CompositePlan::band_days)
      .def_readonly("sources", &tsr::CompositePlan::sources)
      .def_readonly("taken", &tsr::CompositePlan::taken)
      .def("steps", &tsr::CompositePlan::steps)
      .def("empty_steps", &tsr::CompositePlan::empty_steps);
  m.def("plan_composite", [](const tsr::TimeGrid& grid, const std::vector<int32_t>& days, int32_t from_day,
                             int32_t to_day) {
    tsr::CompositePlan plan;
    raise_if_refused(tsr::plan_composite(grid, days, {from_day, to_day}, &plan));
    return plan;
  }, py::arg("grid"), py::arg("days"), py::arg("from_day") = tsr::kFirstDayNumber,
     py::arg("to_day") = tsr::kLastDayNumber);
  m.def("composite_step", &composite_step, py::arg("values"), py::arg("valid"), py::arg("rule"),
        "planes (acquisitions,) + S of float64 values and uint8 validity -> (values, valid, samples counted), each S");

  // Quality layers.
  py::class_<tsr::QualityTally>(m, "QualityTally")
      .def(py::init<>())
      .def_readonly("examined", &tsr::QualityTally::examined)
      .def_readonly("already_missing", &tsr::QualityTally::already_missing)
      .def_readonly("kept", &tsr::QualityTally::kept)
      .def_readonly("rejected", &tsr::QualityTally::rejected)
      .def_readonly("by_first_reason", &tsr::QualityTally::by_first_reason)
      .def_readonly("by_reason", &tsr::QualityTally::by_reason)
      .def_readonly("rejected_values", &tsr::QualityTally::rejected_values)
      .def("merge", &tsr::QualityTally::merge, py::arg("other"));
  py::class_<tsr::QualityRule>(m, "QualityRule")
      .def_static("from_name", [](std::string_view name) {
        tsr::QualityRule rule;
        raise_if_refused(tsr::QualityRule::from_name(name, &rule));
        return rule;
      }, py::arg("name"))
      .def_static("keep_values", [](std::vector<int64_t> kept) {
        tsr::QualityRule rule;
        raise_if_refused(tsr::QualityRule::keep_values(std::move(kept), &rule));
        return rule;
      }, py::arg("kept"))
      .def_static("parse_keep_list", [](std::string_view text) {
        tsr::QualityRule rule;
        raise_if_refused(tsr::QualityRule::parse_keep_list(text, &rule));
        return rule;
      }, py::arg("text"))
      .def("name", &tsr::QualityRule::name)
      .def("reasons", &tsr::QualityRule::reasons)
      .def("keeps", &tsr::QualityRule::keeps, py::arg("value"))
      .def("reasons_of", &tsr::QualityRule::reasons_of, py::arg("value"))
      .def("apply", &quality_apply, py::arg("quality"), py::arg("valid"), py::arg("tally"),
           "valid (uint8 or bool, changed in place) becomes 0 where the quality layer (its stored integers) rejects");
  m.def("format_quality_tally", &tsr::format_quality_tally, py::arg("rule"), py::arg("tally"));

  // The missing-sample rule.
  m.attr("DEFAULT_MISSING_CODE") = tsr::kDefaultMissingCode;
  m.def("ruinous_missing_share", &tsr::ruinous_missing_share, py::arg("missing"), py::arg("bands"));
  m.def("count_missing", [](py::handle values_obj, int16_t missing_code, py::handle missing_obj) {
    const Array<int16_t> values = exactly<int16_t>(values_obj, "values");
    py::array_t<int32_t> missing = writable_counts(missing_obj);
    const Planes p = planes_of(values, missing, "values");
    const int16_t* v = values.data();
    int32_t* out = missing.mutable_data();
    py::gil_scoped_release released;
    tsr::count_missing(v, p.pixels, p.bands, 1, p.pixels, missing_code, out);
  }, py::arg("values"), py::arg("missing_code"), py::arg("missing"),
     "adds to missing (int32, shape S) the samples of values ((bands,) + S or S, int16) equal to missing_code");
  m.def("count_invalid", [](py::handle valid_obj, py::handle missing_obj) {
    const Array<uint8_t> valid = exactly<uint8_t>(valid_obj, "valid");
    py::array_t<int32_t> missing = writable_counts(missing_obj);
    const Planes p = planes_of(valid, missing, "valid");
    const uint8_t* v = valid.data();
    int32_t* out = missing.mutable_data();
    py::gil_scoped_release released;
    tsr::count_invalid(v, p.pixels, p.bands, 1, p.pixels, out);
  }, py::arg("valid"), py::arg("missing"),
     "adds to missing (int32, shape S) the samples of valid ((bands,) + S or S) that are 0");
  py::class_<tsr::MissingSampleTally>(m, "MissingSampleTally")
      .def(py::init([](int32_t bands) {
        if (bands < 1) throw py::value_error("bands must be 1 or more");
        return tsr::MissingSampleTally(bands);
      }), py::arg("bands"))
      .def("add", [](tsr::MissingSampleTally& t, py::handle missing_obj) {
        const Array<int32_t> missing = exactly<int32_t>(missing_obj, "missing");
        raise_if_refused(t.add(missing.data(), missing.size()));
      }, py::arg("missing"))
      .def("merge", [](tsr::MissingSampleTally& t, const tsr::MissingSampleTally& other) {
        raise_if_refused(t.merge(other));
      }, py::arg("other"))
      .def("bands", &tsr::MissingSampleTally::bands)
      .def("pixels_by_missing", &tsr::MissingSampleTally::pixels_by_missing);
  py::class_<tsr::MissingSampleVerdict>(m, "MissingSampleVerdict")
      .def_readonly("bands", &tsr::MissingSampleVerdict::bands)
      .def_readonly("pixels", &tsr::MissingSampleVerdict::pixels)
      .def_readonly("samples", &tsr::MissingSampleVerdict::samples)
      .def_readonly("samples_missing", &tsr::MissingSampleVerdict::samples_missing)
      .def_readonly("pixels_complete", &tsr::MissingSampleVerdict::pixels_complete)
      .def_readonly("pixels_empty", &tsr::MissingSampleVerdict::pixels_empty)
      .def_readonly("pixels_few", &tsr::MissingSampleVerdict::pixels_few)
      .def_readonly("pixels_many", &tsr::MissingSampleVerdict::pixels_many)
      .def_readonly("many_least", &tsr::MissingSampleVerdict::many_least)
      .def_readonly("many_median", &tsr::MissingSampleVerdict::many_median)
      .def_readonly("many_most", &tsr::MissingSampleVerdict::many_most)
      .def_readonly("few_most", &tsr::MissingSampleVerdict::few_most)
      .def_readonly("masked", &tsr::MissingSampleVerdict::masked)
      .def_readonly("filled_first", &tsr::MissingSampleVerdict::filled_first)
      .def_readonly("pixels_ruined", &tsr::MissingSampleVerdict::pixels_ruined);
  m.def("judge_missing_samples", [](const tsr::MissingSampleTally& tally, int32_t mask, int32_t excluded_count) {
    return tsr::judge_missing_samples(tally, {mask, excluded_count});
  }, py::arg("tally"), py::arg("mask") = 0, py::arg("excluded_count") = 0);
  m.def("format_missing_counts", &tsr::format_missing_counts, py::arg("verdict"));
}
