// tsrecon-hdr: writes ENVI headers beside the cubes and maps of a tsrecon
// job, so that GDAL, QGIS and ENVI open them with the right size, type, band
// names and (when the input cube has them) georeferencing.
//
// Run it in the job's working directory, after tsrecon. It reads cntl.dat
// (without echoing it), then
//  - leaves an existing header of data.bsq alone, takes its georeferencing
//    and reports where it disagrees with cntl.dat; writes data.hdr when the
//    cube has no header;
//  - writes mask.hdr when mask.bsq is present without a header;
//  - writes a header for every product present (p.bsq, i.bsq, f.bsq,
//    order.dat, aic.dat, min.dat, max.dat), replacing any earlier one, and
//    order.vrt, which shows the order map with its signed values.
// Headers take the name GDAL looks for first: the extension replaced by
// ".hdr" (p.bsq -> p.hdr).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "control/run_parameters.h"
#include "runtime/errors.h"
#include "tools/envi_header.h"
#include "tools/product_headers.h"

namespace fs = std::filesystem;
using namespace tsr::tools;

namespace {

bool read_file(const std::string& name, std::string& text) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return static_cast<bool>(in) || in.eof();
}

bool write_file(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

bool is_file(const std::string& name) {
  std::error_code ec;
  return fs::is_regular_file(name, ec);
}

int64_t file_size(const std::string& name) {
  std::error_code ec;
  const auto size = fs::file_size(name, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

// The header GDAL would use for `file`, or an empty string when there is none.
std::string existing_header(const std::string& file) {
  for (const std::string& h : {header_name_for(file), appended_header_name_for(file)})
    if (is_file(h)) return h;
  return {};
}

void warn(const std::string& message) { std::fprintf(stderr, "tsrecon-hdr: warning: %s\n", message.c_str()); }

void print_usage(FILE* to) {
  std::fputs(
      "Usage: tsrecon-hdr        (run in a tsrecon working directory, after tsrecon)\n"
      "\n"
      "Writes ENVI headers so that GDAL, QGIS and ENVI open the files of the job:\n"
      "  data.hdr   for data.bsq, only when it has no header yet\n"
      "  mask.hdr   for mask.bsq, when present without a header\n"
      "  p.hdr f.hdr i.hdr order.hdr aic.hdr min.hdr max.hdr   for each product present\n"
      "  order.vrt  the order map with its signed values (-1: the fit gave up)\n"
      "Sizes come from cntl.dat; georeferencing (map info, coordinate system string,\n"
      "projection info) from the header of data.bsq when it has one.\n"
      "Exit status: 0 headers written; 1 cntl.dat unreadable or refused, or a header\n"
      "could not be written; 2 wrong command line.\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const std::string arg = argv[1];
    if (argc == 2 && (arg == "--help" || arg == "-h")) {
      print_usage(stdout);
      return 0;
    }
    std::fprintf(stderr, "tsrecon-hdr: unexpected argument '%s' (see tsrecon-hdr --help)\n", arg.c_str());
    return 2;
  }

  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
  tsr::RunParameters p;
  const tsr::Status loaded = tsr::load_run_parameters(*env, tsr::kControlFile, p);
  if (loaded.code() == tsr::Status::Code::kRefused) {
    std::fprintf(stderr, "tsrecon-hdr: tsrecon refuses this cntl.dat: %s\n", loaded.line().c_str());
    return 1;
  }
  if (loaded.number() == tsr::kErrFileNotFound || loaded.number() == tsr::kErrPermissionDenied ||
      loaded.number() == tsr::kErrRead) {
    std::fprintf(stderr, "tsrecon-hdr: cannot read cntl.dat in %s\n", env->working_directory().c_str());
    return 1;
  }
  if (!loaded.is_ok()) {
    std::fprintf(stderr, "tsrecon-hdr: cntl.dat cannot be read as tsrecon reads it: %s\n", loaded.line().c_str());
    return 1;
  }

  bool ok = true;
  auto put = [&](const std::string& name, const std::string& content, const std::string& what) {
    if (write_file(name, content)) {
      std::printf("wrote %s (%s)\n", name.c_str(), what.c_str());
    } else {
      std::fprintf(stderr, "tsrecon-hdr: cannot write %s\n", name.c_str());
      ok = false;
    }
  };
  auto describe = [](const RunFile& f) {
    const char* type = f.header.data_type == kEnviByte ? "bytes" : f.header.data_type == kEnviInt16 ? "int16" : "float32";
    return f.name + ": " + std::to_string(f.header.bands) + (f.header.bands == 1 ? " band" : " bands") + " of " +
           type + ", " + std::to_string(f.header.lines) + " lines x " + std::to_string(f.header.samples) +
           " samples";
  };
  auto check_size = [](const RunFile& f) {
    const int64_t size = file_size(f.name);
    if (size >= 0 && size < f.expected_bytes)
      warn(f.name + " holds " + std::to_string(size) + " bytes, less than the " + std::to_string(f.expected_bytes) +
           " that cntl.dat gives it (an unfinished run, or another cube?)");
  };

  EnviGeoref georef;
  bool any_product = false;
  for (RunFile& f : run_files(p)) {
    if (!is_file(f.name)) {
      if (f.name == "data.bsq") warn("no data.bsq here");
      continue;
    }
    check_size(f);
    if (f.input) {
      const std::string found = existing_header(f.name);
      if (found.empty()) {
        f.header.georef = georef;
        put(header_name_for(f.name), format_envi_header(f.header), describe(f));
        continue;
      }
      std::string htext;
      std::map<std::string, std::string> entries;
      if (!read_file(found, htext) || !parse_envi_header(htext, entries)) {
        warn(found + " is not an ENVI header; left as it is");
        continue;
      }
      for (const std::string& problem :
           input_header_problems(entries, p.NS, p.NL, p.NB, f.header.data_type))
        warn(found + ": " + problem);
      if (f.name == "data.bsq") georef = georef_of(entries);
      std::printf("kept %s (header of %s)\n", found.c_str(), f.name.c_str());
      continue;
    }
    any_product = true;
    f.header.georef = georef;
    put(header_name_for(f.name), format_envi_header(f.header), describe(f));
    if (f.name == "order.dat") put("order.vrt", order_vrt(p, georef), "order.dat as signed 16-bit orders");
  }
  if (!any_product) warn("no products here yet; run tsrecon first");
  if (georef.empty()) std::printf("no georeferencing: data.bsq has no header with map info\n");
  return ok ? 0 : 1;
}
