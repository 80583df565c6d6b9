// The seasons of pixels' models for Python (src/seasons): the band names of
// the maps, and the computation on the planes of p.bsq as NumPy arrays,
// with the GIL released and the pixels shared among threads. The package's
// tsrecon.seasons and tsrecon.xarray.seasons check and shape what users
// hand in; this layer checks again what memory safety depends on.
#include "seasons_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "domain/model.h"
#include "domain/run_files.h"
#include "seasons/seasons.h"

namespace py = pybind11;

namespace {

// Pixels computed between two looks at Python's signals.
constexpr py::ssize_t kBlockPixels = py::ssize_t{1} << 16;

// Events of a season whose day numbers are handed back: greenup ..
// dormancy, in band order.
constexpr int kDatedEvents = 7;

// seasons(params, has_model, nb, npoint, nfunc, band_days, factor,
// min_amplitude, min_share, threads, with_days) -> (error, bands, days):
// params float32 (np, pixels) as p.bsq, has_model uint8 (pixels,),
// band_days None or float64 (nb,); bands float32 (kSeasonBandCount, pixels)
// as seasons.bsq; days None, or with with_days float64 (2, 7, pixels): the
// day numbers of greenup .. dormancy of each season (NaN where there is none
// or without dates). error: None, or the sentence of a refused model.
py::tuple seasons(py::handle params_obj, py::handle has_model_obj, int32_t nb, int32_t npoint, int32_t nfunc,
                  py::handle band_days_obj, double factor, double min_amplitude, double min_share, int threads,
                  bool with_days) {
  using Floats = py::array_t<float, py::array::c_style>;
  using Bytes = py::array_t<uint8_t, py::array::c_style>;
  using Doubles = py::array_t<double, py::array::c_style>;
  if (!py::isinstance<Floats>(params_obj) || py::reinterpret_borrow<py::array>(params_obj).ndim() != 2)
    throw py::type_error("params must be a C-contiguous float32 array (planes, pixels)");
  if (!py::isinstance<Bytes>(has_model_obj) || py::reinterpret_borrow<py::array>(has_model_obj).ndim() != 1)
    throw py::type_error("has_model must be a C-contiguous uint8 array (pixels,)");
  const auto params = py::reinterpret_borrow<Floats>(params_obj);
  const auto has_model = py::reinterpret_borrow<Bytes>(has_model_obj);
  const py::ssize_t pixels = params.shape(1);
  if (has_model.shape(0) != pixels) throw py::value_error("has_model must hold one value per pixel of params");
  if (nfunc < 0 || nfunc > tsr::kMaxHarmonics || params.shape(0) != tsr::parameter_count(nfunc))
    throw py::value_error("params must hold the 2 * nfunc + 2 planes of p.bsq (nfunc 0.." +
                          std::to_string(tsr::kMaxHarmonics) + ")");
  Doubles band_days;
  if (!band_days_obj.is_none()) {
    if (!py::isinstance<Doubles>(band_days_obj) || py::reinterpret_borrow<py::array>(band_days_obj).ndim() != 1 ||
        py::reinterpret_borrow<py::array>(band_days_obj).shape(0) != nb)
      throw py::type_error("band_days must be None or a C-contiguous float64 array of nb day numbers");
    band_days = py::reinterpret_borrow<Doubles>(band_days_obj);
  }

  tsr::SeasonsModel model;
  model.nb = nb;
  model.npoint = npoint;
  model.nfunc = nfunc;
  model.cycles = tsr::harmonic_frequencies;
  model.band_days = band_days_obj.is_none() ? nullptr : band_days.data();
  tsr::SeasonsOptions options;
  options.factor = factor;
  options.min_amplitude = min_amplitude;
  options.min_share = min_share;
  tsr::SeasonsPlan plan;
  std::string error;
  if (!plan.init(model, options, &error)) return py::make_tuple(error, py::none(), py::none());

  auto bands = py::array_t<float>({static_cast<py::ssize_t>(tsr::kSeasonBandCount), pixels});
  py::object days_obj = py::none();
  double* days = nullptr;
  if (with_days) {
    auto d = py::array_t<double>({static_cast<py::ssize_t>(tsr::kMaxSeasons), static_cast<py::ssize_t>(kDatedEvents), pixels});
    days = d.mutable_data();
    days_obj = d;
  }
  const float* p = params.data();
  const uint8_t* m = has_model.data();
  float* out = bands.mutable_data();
  const auto count = static_cast<size_t>(pixels);
  const int workers = static_cast<int>(std::clamp<py::ssize_t>(threads, 1, std::max<py::ssize_t>(1, pixels / 4096)));
  std::vector<std::unique_ptr<tsr::SeasonsWorkspace>> workspaces;
  for (int w = 0; w < workers; ++w) workspaces.push_back(std::make_unique<tsr::SeasonsWorkspace>(plan));

  // Pixels from..to of the call by one worker: as the maps' run writes them,
  // or pixel by pixel with the detail that gives the days.
  auto compute = [&](int worker, size_t from, size_t to) {
    tsr::SeasonsWorkspace* ws = workspaces[static_cast<size_t>(worker)].get();
    if (days == nullptr) {
      tsr::compute_seasons_run(plan, p + from, count, m + from, to - from, ws, out + from, count);
      return;
    }
    const int32_t np = plan.np();
    double pixel[2 * tsr::kMaxSeasonHarmonics + 2];
    double values[tsr::kSeasonBandCount];
    tsr::SeasonDetail detail;
    for (size_t i = from; i < to; ++i) {
      for (int32_t j = 0; j < np; ++j) pixel[j] = p[static_cast<size_t>(j) * count + i];
      tsr::compute_seasons(plan, pixel, m[i] != 0, ws, values, &detail);
      for (int b = 0; b < tsr::kSeasonBandCount; ++b) out[static_cast<size_t>(b) * count + i] = static_cast<float>(values[b]);
      for (int s = 0; s < tsr::kMaxSeasons; ++s)
        for (int e = 0; e < kDatedEvents; ++e)
          days[(static_cast<size_t>(s) * kDatedEvents + e) * count + i] =
              s < detail.count ? detail.seasons[s].day[e] : std::numeric_limits<double>::quiet_NaN();
    }
  };
  for (size_t first = 0; first < count; first += kBlockPixels) {
    const size_t last = std::min(count, first + static_cast<size_t>(kBlockPixels));
    {
      py::gil_scoped_release released;
      const size_t share = (last - first + workers - 1) / workers;
      std::vector<std::thread> helpers;
      for (int w = 1; w < workers; ++w) {
        const size_t from = std::min(last, first + share * w), to = std::min(last, from + share);
        if (from >= to) continue;
        try {
          helpers.emplace_back(compute, w, from, to);
        } catch (const std::system_error&) {
          compute(0, from, to);  // a thread the system refuses: its share here
        }
      }
      compute(0, first, std::min(last, first + share));
      for (std::thread& t : helpers) t.join();
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
  return py::make_tuple(py::none(), bands, days_obj);
}

}  // namespace

void add_seasons(py::module_& m) {
  py::list names;
  for (std::string_view n : tsr::kSeasonBandNames) names.append(py::str(n.data(), n.size()));
  m.attr("SEASON_BAND_NAMES") = py::tuple(names);
  m.attr("SEASONS_FILE") = py::str(tsr::kSeasonsFile.data(), tsr::kSeasonsFile.size());
  m.attr("SEASON_DATED_EVENTS") = kDatedEvents;
  m.def("seasons", &seasons, py::arg("params"), py::arg("has_model"), py::arg("nb"), py::arg("npoint"),
        py::arg("nfunc"), py::arg("band_days"), py::arg("factor"), py::arg("min_amplitude"), py::arg("min_share"),
        py::arg("threads"), py::arg("with_days"));
}
