// tsrecon-hdr: writes ENVI headers beside the cubes and maps of a tsrecon
// job, so that GDAL, QGIS and ENVI open them with the right size, type, band
// names and (when the input cube has them) georeferencing.
//
// Run it in the job's working directory, after tsrecon. It reads cntl.dat
// (without echoing it), then
//  - leaves an existing header of data.bsq alone (its "data ignore value"
//    stays the cube's), takes its georeferencing and its dates (band names
//    YYYY-MM-DD) and reports where it disagrees with cntl.dat; writes
//    data.hdr when the cube has no header;
//  - writes mask.hdr when mask.bsq is present without a header;
//  - writes a header for every product present (p.bsq, i.bsq, f.bsq,
//    order.dat, aic.dat, min.dat, max.dat), replacing any earlier one, and
//    order.vrt, which shows the order map with its signed values. The bands
//    of f.bsq and i.bsq carry the dates of data.hdr when it has them;
//  - keeps the header tsrecon-seasons wrote for seasons.bsq (checking it
//    against cntl.dat), or writes one when the maps have none.
// Headers take the name GDAL looks for first: the extension replaced by
// ".hdr" (p.bsq -> p.hdr). Files are read through the program's own file
// layer; only the headers themselves are written here.
#include <cstdio>
#include <memory>
#include <string>

#include "control/run_parameters.h"
#include "runtime/errors.h"
#include "io/image_file.h"
#include "runtime/files.h"
#include "tools/common/envi_header.h"
#include "tools/common/input_header.h"
#include "tools/headers/product_headers.h"

using namespace tsr::tools;

namespace {

// The size of a file of the job, or -1 when it is not there (or not a file).
int64_t size_of(tsr::Env& env, const tsr::JobFile& entry) {
  tsr::ImageFile file;
  if (!file.open_read_only(env, entry, 0).is_ok()) return -1;
  return file.size();
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
      "  seasons.hdr  for the maps of tsrecon-seasons, only when they have no header\n"
      "Sizes come from cntl.dat; georeferencing (map info, coordinate system string,\n"
      "projection info) and dates (band names YYYY-MM-DD, for f and i) from the\n"
      "header of data.bsq when it has one.\n"
      "Exit status: 0 headers written; 1 cntl.dat unreadable or refused, a header\n"
      "could not be written, or an existing header of data.bsq or mask.bsq gives\n"
      "other samples, lines or bands than cntl.dat (the other headers are written all\n"
      "the same); 2 wrong command line.\n",
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
    std::fprintf(stderr, "tsrecon-hdr: tsrecon refuses this cntl.dat: %s\n", loaded.line("tsrecon").c_str());
    return 1;
  }
  if (loaded.number() == tsr::kErrFileNotFound || loaded.number() == tsr::kErrPermissionDenied ||
      loaded.number() == tsr::kErrRead) {
    std::fprintf(stderr, "tsrecon-hdr: cannot read cntl.dat in %s\n", env->working_directory().c_str());
    return 1;
  }
  if (!loaded.is_ok()) {
    std::fprintf(stderr, "tsrecon-hdr: cntl.dat cannot be read as tsrecon reads it: %s\n",
                 loaded.line("tsrecon").c_str());
    return 1;
  }

  bool ok = true;
  auto put = [&](const std::string& name, const std::string& content, const std::string& what) {
    if (tsr::write_new_file(*env, name, content) == 0) {
      std::printf("wrote %s (%s)\n", name.c_str(), what.c_str());
    } else {
      std::fprintf(stderr, "tsrecon-hdr: cannot write %s\n", name.c_str());
      ok = false;
    }
  };
  auto describe = [](const HeaderPlan& f) {
    const char* type = f.header.data_type == kEnviByte ? "bytes" : f.header.data_type == kEnviInt16 ? "int16" : "float32";
    return f.name + ": " + std::to_string(f.header.bands) + (f.header.bands == 1 ? " band" : " bands") + " of " +
           type + ", " + std::to_string(f.header.lines) + " lines x " + std::to_string(f.header.samples) +
           " samples";
  };
  auto check_size = [](const HeaderPlan& f, int64_t size) {
    if (size < f.expected_bytes)
      warn(f.name + " holds " + std::to_string(size) + " bytes, less than the " + std::to_string(f.expected_bytes) +
           " that cntl.dat gives it (an unfinished run, or another cube?)");
    if (size > f.expected_bytes)
      warn(f.name + " holds " + std::to_string(size) + " bytes, more than the " + std::to_string(f.expected_bytes) +
           " that cntl.dat gives it" +
           (f.input ? std::string(": tsrecon reads only the first part (is cntl.dat right about NB, NL and NS?)")
                    : ": bytes of an earlier run with other sizes stay beyond the end, because tsrecon never "
                      "shortens a file; delete " + f.name + " and run tsrecon again"));
  };

  const InputHeader data_header = read_input_header(*env, "data.bsq");
  const bool dated = data_header.days.size() == static_cast<size_t>(p.NB);
  EnviGeoref georef;
  bool any_product = false, geometry_differs = false;
  for (HeaderPlan& f : header_plans(p, dated ? data_header.band_names : std::vector<std::string>{})) {
    const tsr::JobFile& entry = tsr::run_file(f.name);
    const int64_t size = size_of(*env, entry);
    if (size < 0) {
      if (f.name == "data.bsq") warn("no data.bsq here");
      continue;
    }
    check_size(f, size);
    if (f.input) {
      const InputHeader h = f.name == "data.bsq" ? data_header : read_input_header(*env, f.name);
      if (h.name.empty()) {
        f.header.georef = georef;
        put(header_name_for(f.name), format_envi_header(f.header), describe(f));
        continue;
      }
      if (!h.valid) {
        warn(h.name + " is not an ENVI header; left as it is");
        continue;
      }
      const int byte_order = tsr::byte_order_of(*env, entry).big_endian() ? 1 : 0;
      for (const std::string& problem :
           input_header_problems(h.entries, p.NS, p.NL, p.NB, f.header.data_type, byte_order)) {
        const bool geometry = problem.rfind("samples ", 0) == 0 || problem.rfind("lines ", 0) == 0 ||
                              problem.rfind("bands ", 0) == 0;
        if (geometry) {
          geometry_differs = true;
          std::fprintf(stderr, "tsrecon-hdr: %s: %s: the header and cntl.dat describe different cubes "
                               "(tsrecon-check tells more)\n", h.name.c_str(), problem.c_str());
        } else {
          warn(h.name + ": " + problem);
        }
      }
      if (f.name == "data.bsq") georef = georef_of(h.entries);
      std::printf("kept %s (header of %s)\n", h.name.c_str(), f.name.c_str());
      continue;
    }
    any_product = true;
    f.header.georef = georef;
    put(header_name_for(f.name), format_envi_header(f.header), describe(f));
    if (f.name == "order.dat") put("order.vrt", order_vrt(p, georef), "order.dat as signed 16-bit orders");
  }
  // seasons.bsq, the maps of tsrecon-seasons: the header it wrote is kept (it
  // tells the scaling and the thresholds the maps were made with); one is
  // written when the maps have none.
  if (tsr::FileInfo info; env->file_info(std::string(tsr::kSeasonsFile), &info) == 0 &&
                          info.type == tsr::FileType::kRegular) {
    HeaderPlan f = seasons_header_plan(p, {});
    if (info.size != f.expected_bytes)
      warn(f.name + " holds " + std::to_string(info.size) + " bytes, not the " + std::to_string(f.expected_bytes) +
           " that cntl.dat gives it (maps of another run?): run tsrecon-seasons again");
    const InputHeader h = read_input_header(*env, f.name);
    if (h.name.empty()) {
      f.header.georef = georef;
      put(header_name_for(f.name), format_envi_header(f.header), describe(f));
    } else if (!h.valid) {
      warn(h.name + " is not an ENVI header; left as it is");
    } else {
      for (const std::string& problem : input_header_problems(h.entries, p.NS, p.NL, f.header.bands, kEnviFloat32))
        warn(h.name + ": " + problem + " (run tsrecon-seasons again)");
      std::printf("kept %s (header of %s, as tsrecon-seasons wrote it)\n", h.name.c_str(), f.name.c_str());
    }
  }
  if (!any_product) warn("no products here yet; run tsrecon first");
  if (georef.empty()) std::printf("no georeferencing: data.bsq has no header with map info\n");
  if (dated)
    std::printf("dates of %s as band names of the series: %s .. %s\n", data_header.name.c_str(),
                data_header.band_names.front().c_str(), data_header.band_names.back().c_str());
  return ok && !geometry_differs ? 0 : 1;
}
