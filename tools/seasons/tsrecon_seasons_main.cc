// tsrecon-seasons: the seasons of every pixel's model as maps. Run it after
// tsrecon in the job's directory (or give the directory): it reads cntl.dat,
// p.bsq, order.dat and the dates and scaling of data.hdr and writes
// seasons.bsq with its header seasons.hdr.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "runtime/env.h"
#include "seasons/seasons.h"
#include "tools/seasons/season_maps.h"

namespace {

constexpr const char* kProgram = "tsrecon-seasons";

void print_usage(FILE* to) {
  std::fputs(
      "Usage: tsrecon-seasons [--min-amplitude A] [--min-share S] [--factor F] [DIR]\n"
      "\n"
      "Makes the seasons of every pixel's model of the tsrecon job in DIR (default: the\n"
      "current directory), after tsrecon: reads cntl.dat, p.bsq, order.dat and the dates\n"
      "(band names YYYY-MM-DD) and scaling (\"tsrecon factor\") of data.hdr, and writes\n"
      "seasons.bsq, 32 bands of float32 with NaN where a pixel has no model, and its\n"
      "header seasons.hdr (georeferenced as data.hdr):\n"
      "  nseasons (0, 1 or 2), then for each season s1_, s2_ (in the order of their\n"
      "  peaks): greenup, midgreenup, maturity, peak, senescence, midgreendown,\n"
      "  dormancy (days of the year of the season's peak, fractional), length (days),\n"
      "  base, peak_value, amplitude, rate_greenup, rate_greendown (per day),\n"
      "  integral, integral_above_base (value x days); then trend_per_year.\n"
      "They are the mean season of the record: the model's periodic part repeats every\n"
      "NPOINT steps, and the values are taken at the middle of the record (the trend\n"
      "shifts the values year by year, never the dates). Without dates in data.hdr,\n"
      "dates, lengths and rates are in steps.\n"
      "\n"
      "  --min-amplitude A  smallest rise of a season above its troughs, in the user's\n"
      "                     units (default 0.05)\n"
      "  --min-share S      smallest share of the largest season's rise, 0..1 (default\n"
      "                     0.35)\n"
      "  --factor F         values are raw / F (default: \"tsrecon factor\" of data.hdr,\n"
      "                     else the program's scaled units, raw / 4096)\n"
      "Threads: TSRECON_THREADS, as for tsrecon (default: every core).\n"
      "\n"
      "Exit status: 0 maps written; 1 refused (cntl.dat, p.bsq or order.dat unusable or\n"
      "shorter than cntl.dat gives them, data.hdr no ENVI header, a failed write);\n"
      "2 wrong command line; 128 + N interrupted by signal N (no maps left half made).\n",
      to);
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "%s: %s (see %s --help)\n", kProgram, message.c_str(), kProgram);
  return 2;
}

bool parse_number(const std::string& text, double* v) {
  char* end = nullptr;
  *v = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && std::isfinite(*v);
}

}  // namespace

int main(int argc, char** argv) {
  tsr::tools::SeasonMapsOptions options;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      print_usage(stdout);
      return 0;
    }
    if (a == "--min-amplitude" || a == "--min-share" || a == "--factor") {
      if (i + 1 >= argc) return usage_error(a + " needs a number");
      const std::string v = argv[++i];
      double x = 0.0;
      if (!parse_number(v, &x)) return usage_error(a + " needs a number, not '" + v + "'");
      if (a == "--min-amplitude") {
        if (x < 0.0) return usage_error("--min-amplitude must be 0 or more, not '" + v + "'");
        options.min_amplitude = x;
      } else if (a == "--min-share") {
        if (x < 0.0 || x > 1.0) return usage_error("--min-share must be 0..1, not '" + v + "'");
        options.min_share = x;
      } else {
        if (!(x > 0.0)) return usage_error("--factor must be a positive number (raw per unit), not '" + v + "'");
        options.factor = x;
      }
    } else if ((!a.empty() && a[0] == '-') || !dir.empty()) {
      return usage_error("unexpected argument '" + a + "'");
    } else {
      dir = a;
    }
  }
  if (!dir.empty()) {
    const tsr::OpenResult opened = tsr::new_posix_env()->open(dir, tsr::OpenMode::kReadOnly);
    if (opened.file == nullptr || !opened.file->is_directory())
      return usage_error("'" + dir + "' is not a directory (give the job's directory, or none for the current one)");
  }

  tsr::start_runtime();
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env({dir, {}});
  tsr::tools::SeasonMapsReport report;
  const tsr::Status status = tsr::tools::make_season_maps(*env, options, &report);
  for (const std::string& w : report.warnings) std::fprintf(stderr, "%s: warning: %s\n", kProgram, w.c_str());
  if (!status.is_ok()) {
    std::fprintf(stderr, "%s\n", status.line(kProgram).c_str());
    return status.exit_status();
  }
  for (const std::string& line : tsr::tools::season_maps_lines(report)) std::printf("%s\n", line.c_str());
  return 0;
}
