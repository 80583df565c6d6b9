#include "vocabulary.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "domain/header_keys.h"
#include "domain/model.h"
#include "domain/npoint.h"
#include "domain/raw.h"
#include "domain/run_files.h"
#include "domain/stored_index.h"
#include "tools/common/envi_header.h"

namespace py = pybind11;

namespace {

// Text of a file as Python sees it: bytes that are not UTF-8 kept as
// surrogates, as the file system's names are.
py::str text(std::string_view s) {
  const auto out = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(s.data(), static_cast<py::ssize_t>(s.size()), "surrogateescape"));
  if (!out) throw py::error_already_set();
  return py::reinterpret_borrow<py::str>(out);
}

// `a` as an array of exactly T (a TypeError naming `what` for another
// element type), C-contiguous (copied when it is not).
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> exactly(py::handle a, const char* what) {
  if (!py::isinstance<py::array>(a) || !py::reinterpret_borrow<py::array>(a).dtype().is(py::dtype::of<T>()))
    throw py::type_error(std::string(what) + " must be a NumPy array of " + std::string(py::str(py::dtype::of<T>())));
  return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
}

std::vector<py::ssize_t> shape_of(const py::array& a) { return {a.shape(), a.shape() + a.ndim()}; }

// has_model(order, params): where a pixel has a model by its stored
// products; order int8 of any shape S, params float32 of shape (np,) + S.
py::array_t<bool> has_model(py::handle order_obj, py::handle params_obj) {
  const auto order = exactly<int8_t>(order_obj, "order");
  const auto params = exactly<float>(params_obj, "params");
  std::vector<py::ssize_t> pixels_shape = shape_of(order), params_shape = shape_of(params);
  if (params_shape.empty() || std::vector<py::ssize_t>(params_shape.begin() + 1, params_shape.end()) != pixels_shape)
    throw py::value_error("params must be shaped (planes,) + the shape of order");
  py::array_t<bool> out(pixels_shape);
  const py::ssize_t pixels = order.size();
  const auto np = static_cast<int32_t>(params_shape[0]);
  const int8_t* o = order.data();
  const float* p = params.data();
  bool* model = out.mutable_data();
  {
    py::gil_scoped_release released;
    for (py::ssize_t k = 0; k < pixels; ++k) model[k] = tsr::stored_has_model(o[k], p + k, np, pixels);
  }
  return out;
}

// raw_values(values, factor, missing) -> (raw int16, (clipped low, clipped
// high, above the ceiling)): values float64, missing None or bool of the
// same shape.
py::tuple raw_values(py::handle values_obj, double factor, py::handle missing_obj) {
  const auto values = exactly<double>(values_obj, "values");
  py::array_t<bool, py::array::c_style | py::array::forcecast> missing;
  if (!missing_obj.is_none()) {
    missing = exactly<bool>(missing_obj, "missing");
    if (shape_of(missing) != shape_of(values)) throw py::value_error("missing must have the shape of the values");
  }
  py::array_t<int16_t> raw(shape_of(values));
  tsr::RawTally tally;
  const double* v = values.data();
  const auto* m = missing_obj.is_none() ? nullptr : reinterpret_cast<const uint8_t*>(missing.data());
  int16_t* out = raw.mutable_data();
  {
    py::gil_scoped_release released;
    tsr::raw_values(v, m, static_cast<size_t>(values.size()), factor, out, &tally);
  }
  return py::make_tuple(raw, py::make_tuple(tally.clipped_low, tally.clipped_high, tally.above_ceiling));
}

// A writable C-contiguous bool array of the shape of `values`, or None
// (allowed when `none_ok`).
uint8_t* missing_flags(py::handle missing_obj, const py::array& values, bool none_ok) {
  if (none_ok && missing_obj.is_none()) return nullptr;
  if (!py::isinstance<py::array>(missing_obj)) throw py::type_error("missing must be a NumPy array of bool");
  auto missing = py::reinterpret_borrow<py::array>(missing_obj);
  if (!missing.dtype().is(py::dtype::of<bool>()) || !(missing.flags() & py::array::c_style) || !missing.writeable())
    throw py::type_error("missing must be a writable C-contiguous NumPy array of bool");
  if (shape_of(missing) != shape_of(values)) throw py::value_error("missing must have the shape of the values");
  return static_cast<uint8_t*>(missing.mutable_data());
}

// mark_invalid_stored_index(values float64, missing bool, changed in place) -> count marked.
int64_t mark_invalid_stored_index(py::handle values_obj, py::handle missing_obj) {
  const auto values = exactly<double>(values_obj, "values");
  uint8_t* m = missing_flags(missing_obj, values, false);
  const double* v = values.data();
  py::gil_scoped_release released;
  return tsr::mark_invalid_stored_index(v, static_cast<size_t>(values.size()), m);
}

// StoredIndexScan.add(values float64, missing bool or None).
void stored_index_scan_add(tsr::StoredIndexScan& scan, py::handle values_obj, py::handle missing_obj) {
  const auto values = exactly<double>(values_obj, "values");
  const uint8_t* m = missing_flags(missing_obj, values, true);
  scan.add(values.data(), m, static_cast<size_t>(values.size()));
}

// The name of `value` in a table of (value, name) pairs.
template <typename E, size_t N>
const char* name_of(E value, const std::pair<E, const char*> (&names)[N]) {
  for (const auto& [v, name] : names)
    if (v == value) return name;
  return "";
}

using tsr::Content, tsr::ElementType, tsr::Planes, tsr::Presence;
// NumPy's types of the elements as the files store them (little-endian).
constexpr std::pair<ElementType, const char*> kDtypes[] = {
    {ElementType::kInt16, "<i2"}, {ElementType::kUInt8, "u1"}, {ElementType::kInt8, "i1"}, {ElementType::kFloat32, "<f4"}};
constexpr std::pair<Planes, const char*> kPlanes[] = {
    {Planes::kBands, "bands"}, {Planes::kParameters, "parameters"}, {Planes::kOne, "one"}};
constexpr std::pair<Presence, const char*> kPresences[] = {
    {Presence::kAlways, "always"}, {Presence::kWithMask, "mask"}, {Presence::kWithInterpolation, "interpolation"}};
// A product's content by the name of the product in tsrecon.Result.
constexpr std::pair<Content, const char*> kContents[] = {
    {Content::kInput, "input"},         {Content::kParameters, "params"}, {Content::kPreliminary, "preliminary"},
    {Content::kFitted, "fitted"},       {Content::kOrder, "order"},       {Content::kCriterion, "criterion"},
    {Content::kMinimum, "minimum"},     {Content::kMaximum, "maximum"}};

// Every file of a run: a dict per file with name, unit, dtype (NumPy's, as
// the file stores it), size (bytes per element), planes, presence, content
// and title.
py::tuple run_files() {
  py::list files;
  for (const tsr::JobFile& f : tsr::kRunFiles) {
    py::dict d;
    d["name"] = std::string(f.name);
    d["unit"] = f.unit;
    d["dtype"] = name_of(f.type, kDtypes);
    d["size"] = tsr::element_size(f.type);
    d["planes"] = name_of(f.planes, kPlanes);
    d["presence"] = name_of(f.presence, kPresences);
    d["content"] = name_of(f.content, kContents);
    d["title"] = std::string(f.title);
    files.append(d);
  }
  return py::tuple(files);
}

py::dict header_keys() {
  namespace k = tsr::header_key;
  const std::pair<const char*, std::string_view> keys[] = {
      {"description", k::kDescription}, {"samples", k::kSamples},       {"lines", k::kLines},
      {"bands", k::kBands},             {"header_offset", k::kHeaderOffset}, {"file_type", k::kFileType},
      {"data_type", k::kDataType},      {"interleave", k::kInterleave}, {"byte_order", k::kByteOrder},
      {"band_names", k::kBandNames},    {"ignore_value", k::kIgnoreValue}, {"map_info", k::kMapInfo},
      {"coordinate_system", k::kCoordinateSystem}, {"projection_info", k::kProjectionInfo},
      {"factor", k::kFactor},           {"units", k::kUnits},
  };
  py::dict d;
  for (const auto& [name, key] : keys) d[name] = std::string(key);
  return d;
}

// parse_envi_header(text) -> dict of the entries (keys folded), or None when
// the text is no ENVI header.
py::object parse_envi_header(const py::bytes& data) {
  std::map<std::string, std::string> entries;
  if (!tsr::tools::parse_envi_header(std::string_view(data), entries)) return py::none();
  py::dict d;
  for (const auto& [key, value] : entries) d[text(key)] = text(value);
  return d;
}

// envi_list(value) -> the items of a braced list value (a str, as
// parse_envi_header gives it).
py::list envi_list(const py::str& value) {
  const auto bytes = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape"));
  if (!bytes) throw py::error_already_set();
  py::list items;
  for (const std::string& item : tsr::tools::envi_list(std::string_view(py::reinterpret_borrow<py::bytes>(bytes))))
    items.append(text(item));
  return items;
}

}  // namespace

void add_vocabulary(py::module_& m) {
  m.attr("RAW_SCALE") = tsr::kRawScale;
  m.attr("RAW_CEILING") = tsr::kRawCeiling;
  m.attr("RAW_RISE_LIMIT") = tsr::kRawRiseLimit;
  m.attr("RAW_NO_DATA") = tsr::kRawNoData;
  m.attr("RAW_LARGEST") = tsr::kRawLargest;
  m.attr("NDVI_FACTOR") = tsr::kNdviFactor;
  m.attr("MIN_BANDS") = tsr::kMinBands;
  m.attr("MAX_BANDS") = tsr::kMaxBands;
  m.attr("MAX_HARMONICS") = tsr::kMaxHarmonics;
  m.attr("MIN_MODEL_ORDER") = tsr::kMinModelOrder;
  m.attr("HARMONIC_CYCLES") = py::tuple(py::cast(std::vector<int32_t>(
      std::begin(tsr::harmonic_frequencies), std::end(tsr::harmonic_frequencies))));
  m.attr("CONSTANT_PLANE") = tsr::kConstantPlane;
  m.attr("TREND_PLANE") = tsr::kTrendPlane;
  m.def("parameter_count", &tsr::parameter_count, py::arg("nfunc"));
  m.def("amplitude_plane", &tsr::amplitude_plane, py::arg("harmonic"));
  m.def("phase_plane", &tsr::phase_plane, py::arg("harmonic"));
  m.def("is_phase_plane", &tsr::is_phase_plane, py::arg("plane"));
  m.def("parameter_names", &tsr::parameter_names, py::arg("nfunc"));
  m.def("time_step_names", &tsr::time_step_names, py::arg("nb"));
  m.attr("RUN_FILES") = run_files();
  m.attr("HEADER_KEYS") = header_keys();
  m.def("parse_envi_header", &parse_envi_header, py::arg("data"));
  m.def("envi_list", &envi_list, py::arg("value"));
  m.def("has_model", &has_model, py::arg("order"), py::arg("params"));
  m.def("raw_values", &raw_values, py::arg("values"), py::arg("factor"), py::arg("missing"));
  m.def("sound_nfunc", &tsr::sound_nfunc, py::arg("npoint"));
  m.def("npoint_for_step", [](double step) {
    const tsr::NpointChoice c = tsr::npoint_for_step(step);
    return py::make_tuple(c.npoint, c.basis);
  }, py::arg("median_step"));
  m.def("nfunc_note", &tsr::nfunc_note, py::arg("npoint"), py::arg("nfunc"));
  m.def("npoint_for_steps_per_year", &tsr::npoint_for_steps_per_year, py::arg("steps_per_year"));

  m.attr("STORED_INDEX_SCALE") = tsr::kStoredIndexScale;
  m.attr("STORED_INDEX_VALID_LOW") = tsr::kStoredIndexValidLow;
  m.attr("STORED_INDEX_VALID_HIGH") = tsr::kStoredIndexValidHigh;
  m.attr("STORED_INDEX_SPAN") = tsr::kStoredIndexSpan;
  m.def("mark_invalid_stored_index", &mark_invalid_stored_index, py::arg("values"), py::arg("missing"));
  py::class_<tsr::StoredIndexScan>(m, "StoredIndexScan")
      .def(py::init<>())
      .def("add", &stored_index_scan_add, py::arg("values"), py::arg("missing"))
      .def("merge", &tsr::StoredIndexScan::merge, py::arg("other"))
      .def("samples", &tsr::StoredIndexScan::samples)
      .def("looks_scaled", &tsr::StoredIndexScan::looks_scaled);
}
