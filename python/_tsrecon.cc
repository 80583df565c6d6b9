// tsrecon._tsrecon: the library interface (include/tsrecon/tsrecon.h) for the
// Python package. The package (tsrecon/__init__.py) converts and checks what
// users hand in; this layer checks again what memory safety depends on
// (element types, shapes, contiguity), allocates the products as NumPy
// arrays, releases the GIL while pixels are computed and takes signals
// (Ctrl-C) between pixels.
//
// Outcomes come back as a status tuple (kind, number, unit, file, line,
// exit_status) that the package turns into its exceptions; an exception of
// Python's own (KeyboardInterrupt from a signal handler, a failing console
// callable) propagates as it is.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "seasons_bindings.h"
#include "stack_bindings.h"
#include "tsrecon/tsrecon.h"
#include "vocabulary.h"

namespace py = pybind11;

namespace {

// Asks Python for pending signals on the calling thread, holding the GIL only
// for that moment and at most once per interval, so that the check costs no
// throughput. A handler that raised (KeyboardInterrupt for Ctrl-C) leaves its
// exception set on the thread and stops the work; so does a failure that
// another callback recorded with fail().
class PythonStop {
 public:
  bool operator()() {
    if (failed_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + kInterval;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    failed_ = true;
    return true;
  }
  // Keeps the Python exception being handled (with the GIL held) for the
  // end of the call and stops the work at the next check.
  void fail(py::error_already_set& e) {
    e.restore();
    failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  static constexpr std::chrono::milliseconds kInterval{25};
  std::chrono::steady_clock::time_point next_{};
  bool failed_ = false;
};

py::tuple status_tuple(const tsrecon::Status& s) {
  const char* kind = "ok";
  switch (s.code) {
    case tsrecon::Status::Code::kOk: kind = "ok"; break;
    case tsrecon::Status::Code::kRunTimeError: kind = "runtime"; break;
    case tsrecon::Status::Code::kRefused: kind = "refused"; break;
    case tsrecon::Status::Code::kInterrupted: kind = "interrupted"; break;
  }
  return py::make_tuple(kind, s.number, s.unit, s.file, s.line, s.exit_status);
}

// A member of the settings object: an integer that must fit T, or a real.
template <typename T>
T member(py::handle settings, const char* name) {
  if constexpr (std::is_floating_point_v<T>) {
    return py::cast<T>(settings.attr(name));
  } else {
    const auto v = py::cast<long long>(settings.attr(name));
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
      throw py::value_error(std::string(name) + " = " + std::to_string(v) + " does not fit its type");
    }
    return static_cast<T>(v);
  }
}

// The library's settings from an object with the members as attributes
// (tsrecon.Settings).
tsrecon::Settings to_settings(py::handle o) {
  tsrecon::Settings s;
#define TSR_FROM_PYTHON(type, NAME, name, GROUP, value) s.name = member<type>(o, #name);
  TSRECON_CONTROL_MEMBERS(TSR_FROM_PYTHON, TSRECON_SKIP_MEMBER)
#undef TSR_FROM_PYTHON
  s.excluded_bands.clear();
  for (py::handle band : py::iter(o.attr("excluded_bands"))) {
    const auto v = py::cast<long long>(band);
    // Outside int32 it is outside every band range: keep it refusable.
    s.excluded_bands.push_back(v < INT32_MIN || v > INT32_MAX ? 0 : static_cast<int32_t>(v));
  }
  return s;
}

py::dict settings_dict(const tsrecon::Settings& s) {
  py::dict d;
  // Unary plus: the 1-byte members as Python integers.
#define TSR_TO_PYTHON(type, NAME, name, GROUP, value) d[#name] = +s.name;
  TSRECON_CONTROL_MEMBERS(TSR_TO_PYTHON, TSRECON_SKIP_MEMBER)
#undef TSR_TO_PYTHON
  d["excluded_bands"] = py::tuple(py::cast(s.excluded_bands));
  return d;
}

// The members in their order: (name, range of an integer member's type or
// None for the real, default).
py::tuple settings_members() {
  py::list members;
  const tsrecon::Settings defaults;
  auto add = [&members](const char* name, auto value) {
    using T = decltype(value);
    py::object range = py::none();
    if constexpr (std::is_integral_v<T>)
      range = py::make_tuple(+std::numeric_limits<T>::min(), +std::numeric_limits<T>::max());
    members.append(py::make_tuple(name, range, +value));
  };
#define TSR_MEMBER_ROW(type, NAME, name, GROUP, value) add(#name, defaults.name);
  TSRECON_CONTROL_MEMBERS(TSR_MEMBER_ROW, TSRECON_SKIP_MEMBER)
#undef TSR_MEMBER_ROW
  return py::tuple(members);
}

// A C-contiguous, aligned, native-order array of exactly type T with `shape`,
// or a TypeError naming `what`.
template <typename T>
py::array_t<T> exact_array(py::handle h, const std::vector<py::ssize_t>& shape, const char* what) {
  if (!py::isinstance<py::array>(h)) throw py::type_error(std::string(what) + " must be a NumPy array");
  const auto a = py::reinterpret_borrow<py::array>(h);
  const int flags = py::array::c_style;
  // The same element type in native byte order, C order, aligned.
  if (!py::isinstance<py::array_t<T, flags>>(a) || !(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) {
    throw py::type_error(std::string(what) + " must be a C-contiguous, aligned array of " +
                         std::string(py::str(py::dtype::of<T>())));
  }
  if (std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()) != shape) {
    throw py::value_error(std::string(what) + " has the wrong shape");
  }
  return py::reinterpret_borrow<py::array_t<T>>(a);
}

tsrecon::Engine to_engine(const std::string& name) {
  if (name.empty()) return tsrecon::Engine::kDefault;
  if (name == "fast") return tsrecon::Engine::kFast;
  if (name == "literal") return tsrecon::Engine::kLiteral;
  throw py::value_error("engine must be 'fast' or 'literal', not '" + name + "'");
}

// reconstruct(settings, data, mask, threads, engine) -> (status, products):
// data an int16 array (nb, nl, ns), mask None or a uint8 array of the same
// shape; products a dict of the arrays in the layout of their files.
py::tuple reconstruct(py::handle settings_obj, py::handle data_obj, py::handle mask_obj, int threads,
                      const std::string& engine) {
  const tsrecon::Settings settings = to_settings(settings_obj);
  if (!py::isinstance<py::array>(data_obj) || py::reinterpret_borrow<py::array>(data_obj).ndim() != 3) {
    throw py::value_error("the cube must be a three-dimensional array (bands, lines, samples)");
  }
  const auto dims = py::reinterpret_borrow<py::array>(data_obj);
  const std::vector<py::ssize_t> shape(dims.shape(), dims.shape() + 3);
  for (py::ssize_t d : shape) {
    if (d > INT32_MAX) throw py::value_error("the cube has more than 2147483647 bands, lines or samples");
  }
  const auto data = exact_array<int16_t>(data_obj, shape, "the cube");
  py::array_t<uint8_t> mask;
  if (!mask_obj.is_none()) mask = exact_array<uint8_t>(mask_obj, shape, "the mask");

  tsrecon::Cube cube;
  cube.size = {static_cast<int32_t>(shape[0]), static_cast<int32_t>(shape[1]), static_cast<int32_t>(shape[2])};
  cube.data = data.data();
  cube.mask = mask_obj.is_none() ? nullptr : mask.data();

  const tsrecon::Status checked = tsrecon::check_reconstruct_settings(settings, cube.size.nb);
  if (!checked.ok()) return py::make_tuple(status_tuple(checked), py::none());

  const py::ssize_t nb = shape[0], nl = shape[1], ns = shape[2], np = settings.parameter_count();
  py::dict out;
  tsrecon::Products products;
  auto series = py::array_t<int16_t>({nb, nl, ns});
  auto params = py::array_t<float>({np, nl, ns});
  auto order = py::array_t<int8_t>({nl, ns});
  auto criterion = py::array_t<float>({nl, ns});
  auto minimum = py::array_t<int16_t>({nl, ns});
  auto maximum = py::array_t<int16_t>({nl, ns});
  products.fitted = series.mutable_data();
  products.params = params.mutable_data();
  products.order = order.mutable_data();
  products.criterion = criterion.mutable_data();
  products.minimum = minimum.mutable_data();
  products.maximum = maximum.mutable_data();
  out["fitted"] = series;
  out["params"] = params;
  out["preliminary"] = py::none();
  if (settings.intp == 1) {
    auto preliminary = py::array_t<int16_t>({nb, nl, ns});
    products.preliminary = preliminary.mutable_data();
    out["preliminary"] = preliminary;
  }
  out["order"] = order;
  out["criterion"] = criterion;
  out["minimum"] = minimum;
  out["maximum"] = maximum;

  PythonStop stop;
  tsrecon::Options options;
  options.threads = threads;
  options.engine = to_engine(engine);
  options.interrupted = [&stop] { return stop(); };
  tsrecon::Status status;
  {
    py::gil_scoped_release released;
    status = tsrecon::reconstruct(settings, cube, products, options);
  }
  if (stop.failed()) throw py::error_already_set();
  return py::make_tuple(status_tuple(status), out);
}

// run_job(directory, console) -> status: console None writes as the
// executable does (standard output or FORT6), else console(text) is called
// for every console text.
py::tuple run_job(const std::string& directory, py::object console) {
  PythonStop stop;
  tsrecon::JobOptions options;
  options.interrupted = [&stop] { return stop(); };
  if (!console.is_none()) {
    options.console = [&stop, &console](std::string_view text) {
      if (stop.failed()) return;
      py::gil_scoped_acquire gil;
      try {
        const auto s = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "surrogateescape"));
        if (!s) throw py::error_already_set();
        console(s);
      } catch (py::error_already_set& e) {
        stop.fail(e);
      }
    };
  }
  tsrecon::Status status;
  {
    py::gil_scoped_release released;
    status = tsrecon::run_job(directory, options);
  }
  if (stop.failed()) throw py::error_already_set();
  return status_tuple(status);
}

// read_control_file(path) -> (status, settings dict, (nb, nl, ns)).
py::tuple read_control_file(const std::string& path) {
  tsrecon::Settings settings;
  tsrecon::CubeSize size;
  tsrecon::Status status;
  {
    py::gil_scoped_release released;
    status = tsrecon::read_control_file(path, settings, size);
  }
  return py::make_tuple(status_tuple(status), settings_dict(settings), py::make_tuple(size.nb, size.nl, size.ns));
}

}  // namespace

PYBIND11_MODULE(_tsrecon, m) {
  m.doc() = "tsrecon's library interface; use the package tsrecon.";
  m.attr("SETTINGS_MEMBERS") = settings_members();
  m.def("check_settings", [](py::handle s, int nb) { return status_tuple(tsrecon::check_settings(to_settings(s), nb)); },
        py::arg("settings"), py::arg("nb"));
  m.def("check_reconstruct_settings",
        [](py::handle s, int nb) { return status_tuple(tsrecon::check_reconstruct_settings(to_settings(s), nb)); },
        py::arg("settings"), py::arg("nb"));
  m.def("worker_storage_bytes", &tsrecon::worker_storage_bytes, py::arg("nb"));
  m.def("read_control_file", &read_control_file, py::arg("path"));
  m.def("reconstruct", &reconstruct, py::arg("settings"), py::arg("data"), py::arg("mask"), py::arg("threads"),
        py::arg("engine"));
  m.def("run_job", &run_job, py::arg("directory"), py::arg("console"));
  m.def("available_memory", &tsrecon::available_memory_bytes);
  add_vocabulary(m);
  add_seasons(m);
  add_stack(m);
}
