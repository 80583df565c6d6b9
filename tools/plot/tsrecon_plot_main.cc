// tsrecon-plot: draws one pixel of a tsrecon job as tsrecon reconstructs it.
//
// Run it in the job's working directory: it reads cntl.dat (without echoing
// it), the pixel's series from data.bsq (and its mask values from mask.bsq
// when MASK=1), reconstructs the pixel with the program's own code and writes
// an SVG picture: the raw series, the samples that left the final fit, the
// excluded bands, the preliminary fit with the band of accepted residuals,
// the final fit and the model, and the greenup, peak and dormancy of each
// season of the model as tsrecon-seasons finds them. Values are shown in the user's units when the
// scaling is known (data.hdr's "tsrecon factor" and "tsrecon units", or
// --factor), else as raw / 4096; the time axis carries the dates when
// data.hdr's band names are dates. With --values it prints the numbers
// instead (or as well, with -o), among them exactly what the products hold
// for the pixel, always in the program's own units.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "control/run_parameters.h"
#include "io/band_reader.h"
#include "io/conversions.h"
#include "io/image_file.h"
#include "runtime/env.h"
#include "runtime/errors.h"
#include "tools/common/input_header.h"
#include "tools/plot/pixel_report.h"
#include "tools/headers/product_headers.h"
#include "tools/plot/svg_plot.h"

using namespace tsr::tools;

namespace {

// Reports why the plot cannot be made; the exit status.
int fail(const std::string& message) {
  std::fprintf(stderr, "tsrecon-plot: %s\n", message.c_str());
  return 1;
}

void print_usage(FILE* to) {
  std::fputs(
      "Usage: tsrecon-plot [-o FILE] [--values] [--factor F] LINE SAMPLE\n"
      "\n"
      "Run in a tsrecon working directory. Reconstructs the pixel at LINE, SAMPLE\n"
      "(both from 1) exactly as tsrecon does and draws it as an SVG picture:\n"
      "the raw series, the samples that left the final fit, the excluded bands, the\n"
      "preliminary fit with the band of accepted residuals, the final fit, and the\n"
      "model order, criterion, constant, trend, amplitudes and phases, and the greenup,\n"
      "peak and dormancy of each season of the model (as tsrecon-seasons finds them).\n"
      "Values are shown in the units of data.hdr (\"tsrecon factor\" raw per unit and\n"
      "\"tsrecon units\", as tsrecon-import writes them), else as raw / 4096; the time\n"
      "axis shows the dates when data.hdr's band names are dates (YYYY-MM-DD).\n"
      "\n"
      "  -o FILE      write the picture to FILE (default: pixel_LINE_SAMPLE.svg)\n"
      "  --factor F   show values as raw / F (F raw per unit, e.g. 1600 for NDVI x 1600)\n"
      "  --values     print the numbers (band by band, with the values f.bsq, i.bsq\n"
      "               and p.bsq hold for the pixel) instead of drawing; with -o, both\n"
      "\n"
      "Exit status: 0 done; 1 cntl.dat, data.bsq or mask.bsq unusable, or the\n"
      "picture could not be written; 2 wrong command line.\n",
      to);
}

bool parse_positive(const std::string& s, int32_t& v) {
  char* end = nullptr;
  errno = 0;
  const long x = std::strtol(s.c_str(), &end, 10);
  if (end == s.c_str() || *end != '\0' || errno != 0 || x < 1 || x > 2147483647L) return false;
  v = static_cast<int32_t>(x);
  return true;
}

// Reads the pixel's NB values of an input cube as tsrecon reads its records
// into `values`; returns what went wrong, or an empty text.
std::string read_input_pixel(tsr::Env& env, const tsr::JobFile& entry, const tsr::RunParameters& p,
                             int32_t line, int32_t sample, std::vector<int16_t>& values) {
  tsr::ImageFile file;
  tsr::Status s = file.open_read_only(env, entry, 1);
  if (s.number() == tsr::kErrInconsistentOpen) {
    const tsr::ByteOrder order = tsr::byte_order_of(env, entry);
    return order.variable + "=" + order.value + " is not a byte order tsrecon accepts";
  }
  if (!s.is_ok()) return "cannot open " + std::string(entry.name) + " in " + env.working_directory();
  values.assign(static_cast<size_t>(p.NB), 0);
  int32_t delivered = 0;
  s = tsr::read_pixel(file, {line, sample, p.NB, p.NL, p.NS}, values.data(), &delivered);
  if (s.number() == tsr::kErrNonExistentRecord)
    return std::string(entry.name) + " ends before band " + std::to_string(delivered + 1) + " of line " +
           std::to_string(line) + " (tsrecon stops there with error 36): is cntl.dat right about NB, NL and NS?";
  if (!s.is_ok()) return "cannot read " + std::string(entry.name) + ": " + s.message();
  return {};
}

std::string values_table(const PixelReport& r) {
  std::ostringstream o;
  char buf[256];
  const std::vector<int16_t> f = fitted_product_values(r);
  const std::vector<int16_t> i = preliminary_product_values(r);
  const std::vector<float> pv = parameter_product_values(r);
  o << "# pixel line " << r.line << " sample " << r.sample << "\n";
  o << "# band raw weight_in excluded weight_out preliminary fitted i.bsq f.bsq final_fit_input\n";
  for (int b = 1; b <= r.nb; ++b) {
    const size_t k = static_cast<size_t>(b - 1);
    std::snprintf(buf, sizeof buf, "band %d %d %d %d %d %.17g %.17g %d %d %.17g\n", b, r.raw[k], r.weights_in[k],
                  r.excluded[k] ? 1 : 0, r.weights_out[k], r.preliminary[k], r.fitted[k], i[k], f[k],
                  r.final_input[k]);
    o << buf;
  }
  o << "# param number name value p.bsq\n";
  const std::vector<std::string> names = tsr::parameter_names(r.nfunc);
  for (size_t k = 0; k < r.params.size(); ++k) {
    std::snprintf(buf, sizeof buf, "param %zu %s %.17g %.9g\n", k + 1, names[k].c_str(), r.params[k],
                  static_cast<double>(pv[k]));
    o << buf;
  }
  std::snprintf(buf, sizeof buf, "order %d %d\n", r.order, static_cast<int>(tsr::order_byte(static_cast<int16_t>(r.order))));
  o << buf;
  std::snprintf(buf, sizeof buf, "criterion %.17g %.9g\n", r.criterion, static_cast<double>(tsr::aic_value(r.criterion)));
  o << buf;
  o << "min " << r.min << "\nmax " << r.max << "\n";
  return o.str();
}

}  // namespace

// Says what is wrong with the command line, then how it goes; the exit status.
int usage_error(const std::string& message) {
  std::fprintf(stderr, "tsrecon-plot: %s\n\n", message.c_str());
  print_usage(stderr);
  return 2;
}

int main(int argc, char** argv) {
  std::string out_name;
  bool values = false;
  double factor = 0.0;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      print_usage(stdout);
      return 0;
    }
    if (a == "--values") {
      values = true;
    } else if (a == "-o" || a == "--factor") {
      if (i + 1 >= argc) return usage_error(a + (a == "-o" ? " needs a FILE" : " needs a number F"));
      const std::string v = argv[++i];
      if (a == "-o") {
        out_name = v;
      } else {
        char* end = nullptr;
        factor = std::strtod(v.c_str(), &end);
        if (end == v.c_str() || *end != '\0' || !(factor > 0.0) || factor > 1e300)
          return usage_error("--factor must be a positive number (raw per unit), not '" + v + "'");
      }
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2)
    return usage_error("give LINE and SAMPLE, two whole numbers from 1 (" + std::to_string(positional.size()) +
                       (positional.size() == 1 ? " argument given)" : " arguments given)"));
  int32_t line = 0, sample = 0;
  if (!parse_positive(positional[0], line))
    return usage_error("LINE must be a whole number from 1, not '" + positional[0] + "'");
  if (!parse_positive(positional[1], sample))
    return usage_error("SAMPLE must be a whole number from 1, not '" + positional[1] + "'");

  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
  tsr::RunParameters p;
  const tsr::Status loaded = tsr::load_run_parameters(*env, tsr::kControlFile, p);
  if (loaded.code() == tsr::Status::Code::kRefused) return fail("tsrecon refuses this cntl.dat: " + loaded.line("tsrecon"));
  if (loaded.number() == tsr::kErrFileNotFound || loaded.number() == tsr::kErrPermissionDenied ||
      loaded.number() == tsr::kErrRead)
    return fail("cannot read cntl.dat in " + env->working_directory());
  if (!loaded.is_ok()) return fail("cntl.dat cannot be read as tsrecon reads it: " + loaded.line("tsrecon"));
  if (line > p.NL || sample > p.NS)
    return fail("line " + std::to_string(line) + ", sample " + std::to_string(sample) + " lies outside the cube of " +
         std::to_string(p.NL) + " lines and " + std::to_string(p.NS) + " samples");

  std::vector<int16_t> raw;
  if (std::string e = read_input_pixel(*env, tsr::run_file("data.bsq"), p, line, sample, raw); !e.empty())
    return fail(e);
  for (size_t b = 0; b < raw.size(); ++b) {
    // tsrecon stops at the first negative value of the cube.
    if (raw[b] < 0)
      return fail(tsr::negative_value_text("data.bsq", static_cast<int32_t>(b + 1), line, sample, raw[b]) +
           " (tsrecon stops at such a value)");
  }
  std::vector<int16_t> mask(static_cast<size_t>(p.NB), 1);
  if (p.MASK == 1) {
    if (std::string e = read_input_pixel(*env, tsr::run_file("mask.bsq"), p, line, sample, mask); !e.empty())
      return fail(e);
  }

  PixelReport report;
  if (const tsr::Status s = reconstruct_single_pixel(p, {line, sample, raw, mask}, &report); !s.is_ok())
    return fail(s.message());
  if (values) std::fputs(values_table(report).c_str(), stdout);
  // The user's units: --factor, else the scaling data.hdr declares.
  const InputHeader header = read_input_header(*env, "data.bsq");
  PlotUnits units;
  if (factor > 0.0) {
    units.raw_per_unit = factor;
    if (header.factor == factor) units.units = header.units;
  } else if (header.factor > 0.0) {
    units.raw_per_unit = header.factor;
    units.units = header.units;
  }
  if (header.days.size() == static_cast<size_t>(p.NB)) units.dates = header.band_names;
  if (!values || !out_name.empty()) {
    if (out_name.empty()) out_name = "pixel_" + std::to_string(line) + "_" + std::to_string(sample) + ".svg";
    // The pixel's seasons as tsrecon-seasons finds them, in the units and dates shown.
    const tsr::SeasonDetail seasons =
        pixel_seasons(report, units.dates.empty() ? std::vector<int32_t>{} : header.days, units.raw_per_unit);
    if (tsr::write_new_file(*env, out_name, pixel_svg(report, units, &seasons)) != 0)
      return fail("cannot write " + out_name);
    if (!values) std::printf("wrote %s\n", out_name.c_str());
  }
  return 0;
}
