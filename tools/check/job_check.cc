#include "tools/check/job_check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

#include "control/execution.h"
#include "control/library_settings.h"
#include "control/run_parameters.h"
#include "domain/header_keys.h"
#include "domain/model.h"
#include "domain/npoint.h"
#include "domain/raw.h"
#include "domain/run_files.h"
#include "io/band_reader.h"
#include "io/image_file.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "stack/dates.h"
#include "stack/missing_samples.h"
#include "stack/time_grid.h"
#include "tools/common/envi_header.h"
#include "tools/common/input_header.h"
#include "tsrecon/tsrecon.h"

namespace tsr::tools {
namespace {

std::string format(const char* f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

std::string percent(int64_t part, int64_t whole) {
  return whole > 0 ? format("%.2f %%", 100.0 * static_cast<double>(part) / static_cast<double>(whole)) : "0 %";
}

std::string amount(double bytes) {
  if (bytes < 10000) return format("%.0f bytes", bytes);
  const char* units[] = {"kB", "MB", "GB", "TB"};
  int u = 0;
  bytes /= 1000;
  while (bytes >= 1000 && u < 3) {
    bytes /= 1000;
    ++u;
  }
  return format("%.1f ", bytes) + units[u];
}

std::string duration(double s) {
  if (s < 10) return format("%.2g s", s);
  if (s < 120) return format("%.0f s", s);
  if (s < 7200) return format("%.0f minutes", s / 60);
  if (s < 172800) return format("%.1f hours", s / 3600);
  return format("%.1f days", s / 86400);
}

std::string n(int64_t v) { return std::to_string(v); }

// The message of a run-time error without its unit and file, as in
// "end-of-file during read".
std::string error_words(int number) {
  const std::string_view text = message_text(number);
  return std::string(text.substr(0, text.find(", unit")));
}

// A text from the control file as a message shows it: short, printable.
std::string shown(const std::string& text) {
  std::string out;
  for (char c : text.substr(0, 40)) out += (c >= 32 && c < 127) ? c : '?';
  return out + (text.size() > 40 ? "..." : "");
}

class Checker {
 public:
  Checker(Env& env, const CheckOptions& options, JobCheck& out) : env_(env), options_(options), out_(out) {}

  void run() {
    out_.summary.push_back("job in " + env_.working_directory());
    if (!read_control()) return;
    check_model();
    const bool data_ok = check_cube(run_file("data.bsq"));
    const bool mask_ok = p_.MASK != 1 || check_cube(run_file("mask.bsq"));
    data_header_ = check_header(run_file("data.bsq"));
    if (p_.MASK == 1) check_header(run_file("mask.bsq"));
    check_dates();
    if (data_ok && mask_ok) scan_values();
    check_products();
    if (data_ok && mask_ok) estimate_time();
  }

 private:
  void error(std::string topic, std::string text) {
    out_.findings.push_back({Severity::kError, std::move(topic), std::move(text)});
  }
  void warning(std::string topic, std::string text) {
    out_.findings.push_back({Severity::kWarning, std::move(topic), std::move(text)});
  }

  bool read_control() {
    FileText cntl;
    const Status read = read_text_file(env_, kControlUnit, kControlFile, &cntl);
    if (read.number() == kErrFileNotFound) {
      error("cntl.dat", "no cntl.dat in " + env_.working_directory() +
                            ": tsrecon would create an empty one and stop at once with 'end-of-file during "
                            "read' (error 24); scripts/tsrecon-import writes a starting one (see the README)");
      return false;
    }
    if (!read.is_ok()) {
      error("cntl.dat", "cntl.dat cannot be read: " + read.message());
      return false;
    }
    if (const Status s = read_control_text(cntl.content, p_, [](std::initializer_list<ListItem>) {}); !s.is_ok()) {
      const Status::Detail& at = s.detail();
      std::string what = "cntl.dat line " + n(at.line) + " (" + at.item + "): ";
      if (s.number() == kErrEndOfFile && !at.found.empty()) {
        error("cntl.dat", what + "the last line, '" + shown(at.found) +
                              "', has no line feed at its end, so tsrecon does not read it and stops with error 24 "
                              "(end-of-file during read): end that line with a line feed");
        return false;
      }
      if (!at.found.empty()) what += "found '" + shown(at.found) + "', ";
      error("cntl.dat", what + "expected " + at.expected + "; tsrecon would stop with error " + n(s.number()) +
                            " (" + error_words(s.number()) + ")");
      return false;
    }
    if (const Status derived = derive_run_parameters(p_); !derived.is_ok()) {
      error("cntl.dat", derived.message() + ": tsrecon refuses it before touching any image file");
      return false;
    }
    if (p_.NL < 1 || p_.NS < 1) {
      // tsrecon runs over no pixel at all and writes empty products.
      error("cntl.dat", "cntl.dat gives " + n(p_.NL) + " lines of " + n(p_.NS) +
                            " samples (its second line): that is no pixel at all, so tsrecon would write empty "
                            "products");
      return false;
    }
    std::set<int16_t> excluded(p_.excluded_bands, p_.excluded_bands + p_.excluded_count);
    distinct_excluded_ = static_cast<int32_t>(excluded.size());
    std::string bands;
    for (int16_t b : excluded) bands += (bands.empty() ? "" : ", ") + n(b);
    out_.summary.push_back("cntl.dat: " + n(p_.NB) + " bands, " + n(p_.NL) + " lines x " + n(p_.NS) +
                           " samples (" + n(int64_t{p_.NL} * p_.NS) + " pixels); NFUNC=" + n(p_.NFUNC) +
                           " (NP=" + n(p_.NP) + " parameters), NPOINT=" + n(p_.NPOINT) + ", MASK=" + n(p_.MASK) +
                           ", INTP=" + n(p_.INTP) + "; " +
                           (bands.empty() ? std::string("no excluded bands") : "excluded bands " + bands));
    if (p_.NDEF > p_.excluded_count)
      warning("cntl.dat", "NDEF=" + n(p_.NDEF) + " but " + n(p_.NDEF - p_.excluded_count) +
                              " of the band numbers after the groups lie outside 1.." + n(p_.NB) +
                              " (or are blank): tsrecon ignores them");
    if (p_.INTP == 1 && p_.MASK == 1)
      warning("INTP", "INTP=1 with MASK=1: under a mask the preliminary fit does not run, so i.bsq will hold "
                      "zeros only; set INTP=0, and no i.bsq is written");
    return true;
  }

  void check_model() {
    const int32_t sound = sound_nfunc(p_.NPOINT);
    std::string beyond;
    for (int32_t k = sound + 1; k <= p_.NFUNC; ++k)
      beyond += (beyond.empty() ? "" : ", ") + n(k) + " (" + n(harmonic_frequencies[k - 1]) +
                (harmonic_frequencies[k - 1] == 1 ? " cycle)" : " cycles)");
    const std::string sound_text =
        sound >= kMinModelOrder ? "NFUNC=" + n(sound) + " is the largest sound value for NPOINT=" + n(p_.NPOINT)
                   : "no NFUNC gives a sound model with NPOINT=" + n(p_.NPOINT) +
                         " (a model needs " + n(kMinModelOrder) + " harmonics): is NPOINT the number of steps per year?";
    if (!beyond.empty()) {
      const bool several = p_.NFUNC - sound > 1;
      error("NFUNC", "NFUNC=" + n(p_.NFUNC) + " with NPOINT=" + n(p_.NPOINT) + ": harmonic" + (several ? "s " : " ") +
                         beyond + " of " + n(p_.NPOINT) + " steps " + (several ? "sit" : "sits") +
                         " at or beyond the sampling limit (2 x cycles >= NPOINT): sampled once a step, such a "
                         "harmonic cannot be told from a slower cycle, or vanishes, so its amplitude and phase mean "
                         "nothing and can explode; " + sound_text);
    } else if (p_.NFUNC < kMinModelOrder) {
      error("NFUNC", "NFUNC=" + n(p_.NFUNC) + ": a model needs at least " + n(kMinModelOrder) +
                         " harmonics, so no pixel would get one (zeros in f.bsq and "
                         "p.bsq everywhere); " + sound_text);
    }
    const int32_t usable = p_.NB - distinct_excluded_;
    if (p_.NP > usable)
      error("NFUNC", "the model has NP = 2 x NFUNC + 2 = " + n(p_.NP) + " parameters but a pixel has at most " +
                         n(usable) + " samples (NB=" + n(p_.NB) + ", " + n(distinct_excluded_) +
                         " bands excluded): no fit can determine them; NFUNC=" + n(std::max(0, (usable - 2) / 2)) +
                         " or less");
  }

  // The size of an input cube against cntl.dat; true when tsrecon can read
  // all of it that the run needs.
  bool check_cube(const JobFile& entry) {
    const std::string name(entry.name);
    ImageFile file;
    const Status s = file.open_read_only(env_, entry, 1);
    if (s.number() == kErrFileNotFound) {
      error(name, name + " is missing: tsrecon would create it empty and stop with error 36 (attempt to access "
                         "non-existent record) at the first line, leaving empty products behind");
      return false;
    }
    if (s.number() == kErrInconsistentOpen) {
      const ByteOrder order = byte_order_of(env_, entry);
      error(name, order.variable + "=" + order.value + " is not a byte order tsrecon accepts (error 46)");
      return false;
    }
    if (!s.is_ok()) {
      error(name, name + " cannot be opened for reading: " + s.message());
      return false;
    }
    const int64_t size = file.size();
    const int64_t element = element_size(entry.type);
    const int64_t expected = full_file_bytes(entry, p_.NB, p_.NP, p_.NL, p_.NS);
    const std::string layout = n(p_.NB) + " bands x " + n(p_.NL) + " lines x " + n(p_.NS) + " samples x " +
                               n(element) + (element == 1 ? " byte" : " bytes");
    if (size == expected) {
      out_.summary.push_back(name + ": " + n(size) + " bytes, as cntl.dat gives it (" + layout + ")");
      return true;
    }
    std::string hints;
    auto hint = [&](int64_t unit, int32_t now, const char* member, const char* what) {
      if (unit <= 0 || size % unit != 0 || size / unit == now) return;
      hints += "; it holds exactly " + n(size / unit) + " " + what + " of the other sizes: is " + member + " " +
               n(size / unit) + " rather than " + n(now) + "?";
    };
    hint(int64_t{p_.NL} * p_.NS * element, p_.NB, "NB", "bands");
    hint(int64_t{p_.NB} * p_.NS * element, p_.NL, "NL", "lines");
    hint(int64_t{p_.NB} * p_.NL * element, p_.NS, "NS", "samples");
    if (element == 2 && size % 2 != 0) hints += "; an odd number of bytes cannot be 16-bit values";
    const std::string head = name + " holds " + n(size) + " bytes, but cntl.dat gives it " + n(expected) + " (" +
                             layout + ")";
    if (size > expected) {
      error(name, head + ": tsrecon would read only part of it, from the wrong places unless only bands are "
                         "missing at the end" + hints);
      return true;
    }
    // The first line whose last band has a record wholly beyond the end.
    const int64_t present = (size + element - 1) / element;
    const int64_t last_of_line1 = int64_t{p_.NB - 1} * p_.NL * p_.NS + p_.NS - 1;
    const int64_t stop = present <= last_of_line1 ? 1 : (present - last_of_line1 - 1) / p_.NS + 2;
    error(name, head + ": tsrecon would stop with error 36 (attempt to access non-existent record) at line " +
                    n(std::min<int64_t>(stop, p_.NL)) + hints);
    return false;
  }

  InputHeader check_header(const JobFile& entry) {
    InputHeader h = read_input_header(env_, entry.name);
    if (h.name.empty()) return h;
    if (!h.valid) {
      warning(h.name, h.name + " is not an ENVI header (it does not start with the line ENVI): GDAL cannot use it");
      return h;
    }
    const int type = entry.type == ElementType::kInt16 ? kEnviInt16 : kEnviByte;
    const int byte_order = byte_order_of(env_, entry).big_endian() ? 1 : 0;
    auto integer = [&](std::string_view key) {
      const auto it = h.entries.find(std::string(key));
      return it == h.entries.end() ? -1L : std::strtol(it->second.c_str(), nullptr, 10);
    };
    const bool swapped = p_.NL != p_.NS && integer(header_key::kSamples) == p_.NL &&
                         integer(header_key::kLines) == p_.NS;
    if (swapped)
      error(h.name, h.name + " describes " + n(p_.NS) + " lines of " + n(p_.NL) + " samples, cntl.dat " + n(p_.NL) +
                        " lines of " + n(p_.NS) + " samples: NL and NS look swapped in cntl.dat (its second line "
                        "holds NL, then NS); tsrecon would read every line from the wrong place");
    for (const std::string& problem :
         input_header_problems(h.entries, p_.NS, p_.NL, p_.NB, type, byte_order)) {
      if (swapped && (problem.rfind("samples is", 0) == 0 || problem.rfind("lines is", 0) == 0)) continue;
      error(h.name, h.name + ": " + problem + " (tsrecon reads " + std::string(entry.name) +
                        " as cntl.dat describes it)");
    }
    return h;
  }

  void check_dates() {
    const std::vector<int32_t>& days = data_header_.days;
    if (days.size() != static_cast<size_t>(p_.NB) || days.size() < 2) {
      if (!data_header_.band_names.empty() && days.empty())
        out_.summary.push_back(data_header_.name + ": band names are not dates (YYYY-MM-DD)");
      return;
    }
    std::vector<int32_t> steps;
    for (size_t i = 1; i < days.size(); ++i) {
      if (days[i] <= days[i - 1]) {
        // Bands out of time order, or two of one date: no series in time.
        error("dates", data_header_.name + ": band " + n(static_cast<int64_t>(i) + 1) + " (" + format_date(days[i]) +
                           ") does not follow band " + n(static_cast<int64_t>(i)) + " (" +
                           format_date(days[i - 1]) + "): tsrecon takes the bands as equal steps in time order");
        return;
      }
      steps.push_back(days[i] - days[i - 1]);
    }
    GridChoice choice;
    if (!choose_grid(days, &choice).is_ok()) return;  // ascending dates of the years 1..9999: never refused
    if (const GridFit* fit = choice.fit()) {
      check_grid(*fit);
      return;
    }
    std::sort(steps.begin(), steps.end());
    const size_t m = steps.size() / 2;
    const double median = steps.size() % 2 ? steps[m] : (steps[m - 1] + steps[m]) / 2.0;
    const int32_t npoint = npoint_for_step(median).npoint;
    out_.summary.push_back(data_header_.name + ": dates " + format_date(days.front()) + " .. " +
                           format_date(days.back()) + ", median step " + format("%g", median) +
                           " days: a year is " + n(npoint) + " steps");
    error("dates", data_header_.name + ": " +
                       no_grid_message(choice, days,
                                       "tsrecon takes band t as step t of one grid: composite them onto one with "
                                       "tsrecon-import --step 16d|8d|month|dekad|Nd (per step the median of the "
                                       "valid samples, or the largest with --composite max)"));
    if (npoint != p_.NPOINT)
      warning("NPOINT", "NPOINT=" + n(p_.NPOINT) + " but the dates of " + data_header_.name + " lie a median " +
                            format("%g", median) + " days apart, so a year is " + n(npoint) +
                            " steps: NPOINT=" + n(npoint) + " (with NFUNC at most " + n(sound_nfunc(npoint)) +
                            ") makes the first harmonic one cycle per year");
  }

  // The dates of data.hdr on the grid that holds them: steps without a band,
  // and NPOINT against the grid's steps a year.
  void check_grid(const GridFit& fit) {
    const std::string& hdr = data_header_.name;
    const NpointCheck c = check_npoint(fit.grid, p_.NPOINT, p_.NB);
    const std::string year = format("%g", c.steps_per_year) + " steps a year";
    const std::string grid = "the " + grid_name(fit.grid) + " grid (" + year + ")";
    const size_t missing = fit.inserted.size();
    out_.summary.push_back(hdr + ": dates " + format_date(fit.band_days.front()) + " .. " +
                           format_date(fit.band_days.back()) + " on " + grid + ", " +
                           (missing == 0 ? std::string("a band for every step")
                                         : n(static_cast<int64_t>(missing)) + " of its " + n(fit.steps()) +
                                               " steps without a band"));
    if (missing > 0) {
      constexpr size_t kNamed = 5;
      std::string named;
      for (size_t i = 0; i < std::min(missing, kNamed); ++i)
        named += (i == 0 ? "" : ", ") + format_date(fit.inserted[i]);
      if (missing > kNamed) named += ", ...";
      error("dates", hdr + ": the dates lie on " + grid + ", but " + n(static_cast<int64_t>(missing)) + " of its " +
                         n(fit.steps()) + " steps from " + format_date(fit.band_days.front()) + " to " +
                         format_date(fit.band_days.back()) + " have no band (" + named +
                         "): tsrecon takes band t as step t, so every band after " + format_date(fit.inserted[0]) +
                         " stands for a step before its date (the last " + n(static_cast<int64_t>(missing)) +
                         (missing == 1 ? " step" : " steps") +
                         " early); give each missing date a band of missing samples (0 in mask.bsq, MASK=1): "
                         "tsrecon-import inserts them");
    }
    const std::string sound = " (with NFUNC at most " + n(sound_nfunc(c.suggested)) + ")";
    const std::string head = "NPOINT=" + n(p_.NPOINT) + " but the dates of " + hdr + " lie on " + grid;
    if (c.verdict == NpointVerdict::kMismatch)
      error("NPOINT", head + ": a model year of " + n(p_.NPOINT) +
                          " steps is neither the calendar year nor a whole number of years, so the seasons slide "
                          "through the record; NPOINT=" + n(c.suggested) + sound +
                          " makes the first harmonic one cycle per year");
    else if (c.verdict == NpointVerdict::kWholeYears)
      warning("NPOINT", head + ": the first harmonic is one cycle in " + n(c.years) + " years; NPOINT=" +
                            n(c.suggested) + sound + " makes it one cycle per year, unless a cycle of " +
                            n(c.years) + " years is meant");
    if (c.verdict != NpointVerdict::kMismatch && c.drift_days > fit.grid.step_days / 2.0)
      warning("NPOINT", "the dates of " + hdr + " lie on " + grid + ", which does not restart with the year: a "
                            "cycle of " + n(c.suggested) + " steps (" + n(int64_t{c.suggested} * fit.grid.step_days) +
                            " days) slides " + format("%.0f", c.drift_days) + " days from the calendar over the " +
                            n(p_.NB) + " bands, more than half a step; a grid that restarts every year keeps the "
                            "seasons in place (tsrecon-import --step 8d, 16d, dekad or month)");
  }

  // One pass over data.bsq (and mask.bsq), line by line as tsrecon reads them.
  void scan_values() {
    ImageFile data, mask;
    if (!data.open_read_only(env_, run_file("data.bsq"), p_.NS).is_ok()) return;
    if (p_.MASK == 1 && !mask.open_read_only(env_, run_file("mask.bsq"), p_.NS).is_ok()) return;
    std::vector<bool> excluded(static_cast<size_t>(p_.NB), false);
    for (int32_t i = 0; i < p_.excluded_count; ++i) excluded[static_cast<size_t>(p_.excluded_bands[i] - 1)] = true;
    const size_t width = static_cast<size_t>(p_.NB) * static_cast<size_t>(p_.NS);
    std::vector<int16_t> values(width), weights(width, 1);
    const int16_t missing_code = missing_code_of(data_header_);
    MissingSampleTally tally(p_.NB);
    std::vector<int32_t> missing(static_cast<size_t>(p_.NS));
    int64_t negative = 0, nodata = 0, above = 0, total = 0, few = 0, none = 0;
    int32_t first_band = 0, first_line = 0, first_sample = 0;
    int16_t first_value = 0, largest = 0;
    for (int32_t line = 1; line <= p_.NL; ++line) {
      if (!read_cube_line(data, line, p_.NL, p_.NS, 1, p_.NB, values.data(), p_.NB).is_ok()) return;
      if (p_.MASK == 1 && !read_cube_line(mask, line, p_.NL, p_.NS, 1, p_.NB, weights.data(), p_.NB).is_ok()) return;
      // Bands first, as tsrecon reads a line: the first negative value found is where it stops.
      for (int32_t b = 1; b <= p_.NB; ++b) {
        for (int32_t s = 1; s <= p_.NS; ++s) {
          const int16_t v = values[static_cast<size_t>(s - 1) * p_.NB + (b - 1)];
          if (v < 0 && negative++ == 0) {
            first_band = b, first_line = line, first_sample = s, first_value = v;
          }
        }
      }
      std::fill(missing.begin(), missing.end(), 0);
      count_missing(values.data(), p_.NS, p_.NB, p_.NB, 1, missing_code, missing.data());
      if (!tally.add(missing.data(), p_.NS).is_ok()) return;  // counts of 0..NB: never refused
      for (int32_t s = 1; s <= p_.NS; ++s) {
        int32_t usable = 0;
        for (int32_t b = 1; b <= p_.NB; ++b) {
          const size_t i = static_cast<size_t>(s - 1) * p_.NB + (b - 1);
          const int16_t v = values[i];
          ++total;
          if (v == kRawNoData) ++nodata;
          if (v > kRawCeiling && v != kRawNoData) ++above;
          if (v != kRawNoData) largest = std::max(largest, v);
          if (v >= 0 && v <= kRawCeiling && !excluded[static_cast<size_t>(b - 1)] && weights[i] >= 1) ++usable;
        }
        if (usable < p_.NP) ++few;
        if (usable == 0) ++none;
      }
    }
    const int64_t pixels = int64_t{p_.NL} * p_.NS;
    out_.summary.push_back("values: " + percent(nodata, total) + " no-data (" + n(kRawNoData) + "), " +
                           percent(above, total) + " above the ceiling " + n(kRawCeiling) + ", " + n(negative) +
                           " negative");
    if (negative > 0)
      error("data.bsq", "data.bsq holds " + n(negative) + " negative value" + (negative > 1 ? "s" : "") +
                            " (values must be 0.." + n(kRawNoData) + "): tsrecon stops at the first, band " + n(first_band) +
                            " line " + n(first_line) + " sample " + n(first_sample) + " (" + n(first_value) +
                            ") and ends with exit status 1, after the products of the lines before it");
    const int64_t measured = total - nodata;
    if (total > 0 && measured == 0) {
      error("data.bsq", "every value of data.bsq is the no-data value " + n(kRawNoData) + ": no pixel would get a model");
    } else if (measured > 0 && 2 * above > measured) {
      error("scaling", percent(above, measured) + " of the values (no-data " + n(kRawNoData) +
                           " aside) lie above the raw ceiling " + n(kRawCeiling) + " (largest " + n(largest) +
                           "), and tsrecon screens those out: the cube is not in tsrecon's raw units (" +
                           format("%g", kRawScale) + " = 1.0; NDVI stored as NDVI x " + format("%g", kNdviFactor) +
                           ", so " + format("%g", kRawCeiling / kNdviFactor) + " is the ceiling). "
                       "NDVI x 10000, for one, must be rescaled: scripts/tsrecon-import does it from the images");
    }
    judge_missing(judge_missing_samples(tally, {p_.MASK, p_.excluded_count}), missing_code);
    if (few > 0) {
      const std::string which = p_.MASK == 1 ? ", kept by mask.bsq" : "";
      warning("samples", n(few) + " of " + n(pixels) + " pixels (" + percent(few, pixels) +
                             ") have fewer usable samples (at or below the raw ceiling " + n(kRawCeiling) + which +
                             ", in bands not excluded) than the model's NP=" + n(p_.NP) + " parameters" +
                             (none > 0 ? " (" + n(none) + " of them none at all, as in a no-data area)" : "") +
                             ": their fits will be weak or missing (zeros in the products)");
    }
  }

  // The no-data code of data.bsq: data.hdr's "data ignore value" when it is
  // one of the cube's values (0..32767), else the program's own.
  static int16_t missing_code_of(const InputHeader& h) {
    const auto it = h.entries.find(std::string(header_key::kIgnoreValue));
    if (it == h.entries.end()) return kDefaultMissingCode;
    char* end = nullptr;
    const long v = std::strtol(it->second.c_str(), &end, 10);
    if (end == it->second.c_str() || *end != '\0' || v < 0 || v > kRawNoData) return kDefaultMissingCode;
    return static_cast<int16_t>(v);
  }

  // Pixels with some samples missing: under MASK=0 without excluded bands
  // each missing sample enters the preliminary fit at its value (the
  // missing-sample rule, stack/missing_samples.h).
  void judge_missing(const MissingSampleVerdict& v, int16_t code) {
    if (v.pixels_many == 0 && v.pixels_few == 0) return;  // complete and empty pixels only
    const std::string counts = format_missing_counts(v);
    const std::string what = "missing samples (" + n(code) + ")";
    if (v.masked || v.filled_first) {
      out_.summary.push_back(what + ": " + counts + "; " +
                             (v.masked ? "MASK=1: mask.bsq decides which samples enter the fits"
                                       : "excluded bands: gap filling replaces them before the preliminary fit"));
      return;
    }
    const std::string fix = "write mask.bsq (1 valid, 0 missing) and set MASK=1 (tsrecon-import does both)";
    if (v.pixels_ruined > 0) {
      error("missing samples", "missing samples spoil " + n(v.pixels_ruined) + " of " + n(v.pixels) + " pixels: " +
                                   counts + ". Under MASK=0, with no band excluded, a missing sample (" + n(code) +
                                   ") enters the preliminary fit at its own value, which then keeps the missing "
                                   "samples and screens real ones out: " + fix);
    } else {
      warning("missing samples", n(v.pixels_few) + " of " + n(v.pixels) +
                                     " pixels have missing samples, fewer than 2 % of their bands each: " + counts +
                                     ". Under MASK=0 each still enters the preliminary fit at its own value (" +
                                     n(code) + ") and pulls it; to keep them out, " + fix);
    }
  }

  void check_products() {
    int64_t all = 0, to_write = 0;
    int files = 0, existing = 0;
    for (const JobFile& entry : kRunFiles) {
      if (is_input(entry)) continue;
      const std::string name(entry.name);
      const bool present = present_in_run(entry, p_.INTP, p_.MASK);
      const int64_t expected = full_file_bytes(entry, p_.NB, p_.NP, p_.NL, p_.NS);
      ImageFile file;
      const Status opened = file.open_read_only(env_, entry, 0);
      if (!opened.is_ok() && opened.number() != kErrFileNotFound)
        error(name, name + " cannot be opened: tsrecon would stop with error " + n(opened.number()) + " (" +
                        error_words(opened.number()) + ")" +
                        (opened.number() == kErrPermissionDenied ? "; is it a directory, or not yours?" : ""));
      const int64_t size = opened.is_ok() ? file.size() : -1;
      if (present) {
        ++files;
        all += expected;
        to_write += std::max<int64_t>(0, expected - std::max<int64_t>(size, 0));
      }
      if (size < 0) continue;
      ++existing;
      if (!present) {
        warning(name, name + " is left from an earlier run: with INTP=" + n(p_.INTP) +
                          " this run does not write it, so it will not match the other products; delete it");
        continue;
      }
      if (size == expected) continue;
      const int64_t plane = int64_t{p_.NL} * p_.NS * element_size(entry.type);
      std::string what = name + " holds " + n(size) + " bytes, this run writes " + n(expected);
      if (plane > 0 && size % plane == 0 && entry.planes != Planes::kOne)
        what = name + " holds " + n(size / plane) + " planes of " + n(p_.NL) + " x " + n(p_.NS) +
               ", this run writes " + n(planes_of(entry, p_.NB, p_.NP));
      if (size > expected)
        warning(name, what + " (an earlier run with other sizes): tsrecon overwrites in place and never shortens "
                             "a file, so the old bytes beyond the new end would stay; delete " + name +
                             " before the run");
      else
        warning(name, what + " (an earlier, interrupted run, or another cube): delete " + name +
                          " before the run, so that nothing of the earlier run is taken for this one");
    }
    const uint64_t free_bytes = env_.available_disk_bytes();
    std::string line = "products: " + n(files) + " files, " + amount(static_cast<double>(all)) + " in all";
    if (existing > 0) line += ", " + amount(static_cast<double>(to_write)) + " still to be written";
    if (free_bytes != UINT64_MAX) line += "; " + amount(static_cast<double>(free_bytes)) + " free on the disk";
    out_.summary.push_back(line);
    if (free_bytes != UINT64_MAX && static_cast<uint64_t>(to_write) > free_bytes)
      error("disk", "the products need " + amount(static_cast<double>(to_write)) + " more, but only " +
                        amount(static_cast<double>(free_bytes)) +
                        " are free: tsrecon would stop part way with error 38 (error during write)");
  }

  // Reconstructs a sample of pixels spread over the cube with the library and
  // extrapolates the time to the whole cube and the threads tsrecon would use.
  void estimate_time() {
    Execution exec;
    if (const Status s = execution_from_environment(env_, exec); !s.is_ok()) {
      error("environment", s.message() + ": tsrecon would refuse to start");
      return;
    }
    const int64_t pixels = int64_t{p_.NL} * p_.NS;
    if (options_.sample_pixels <= 0 || pixels == 0) return;
    const int64_t count = std::min<int64_t>(options_.sample_pixels, pixels);
    const size_t nb = static_cast<size_t>(p_.NB), k = static_cast<size_t>(count);
    std::vector<int16_t> cube(nb * k), series(nb);
    std::vector<uint8_t> weights(p_.MASK == 1 ? nb * k : 0);
    ImageFile data, mask;
    if (!data.open_read_only(env_, run_file("data.bsq"), 1).is_ok()) return;
    if (p_.MASK == 1 && !mask.open_read_only(env_, run_file("mask.bsq"), 1).is_ok()) return;
    for (size_t i = 0; i < k; ++i) {
      const int64_t at = (2 * static_cast<int64_t>(i) + 1) * pixels / (2 * count);
      const auto line = static_cast<int32_t>(at / p_.NS + 1), sample = static_cast<int32_t>(at % p_.NS + 1);
      int32_t delivered = 0;
      if (!read_pixel(data, {line, sample, p_.NB, p_.NL, p_.NS}, series.data(), &delivered).is_ok()) return;
      for (size_t b = 0; b < nb; ++b) cube[b * k + i] = std::max<int16_t>(series[b], 0);
      if (p_.MASK == 1) {
        if (!read_pixel(mask, {line, sample, p_.NB, p_.NL, p_.NS}, series.data(), &delivered).is_ok()) return;
        for (size_t b = 0; b < nb; ++b) weights[b * k + i] = static_cast<uint8_t>(series[b]);
      }
    }
    const tsrecon::Settings settings = library_settings(p_);
    tsrecon::Cube in;
    in.data = cube.data();
    in.mask = p_.MASK == 1 ? weights.data() : nullptr;
    in.size = {p_.NB, 1, static_cast<int32_t>(count)};
    std::vector<int16_t> fitted(nb * k), preliminary(nb * k), minimum(k), maximum(k);
    std::vector<float> params(static_cast<size_t>(p_.NP) * k), criterion(k);
    std::vector<int8_t> order(k);
    const tsrecon::Products products{fitted.data(),  params.data(),  preliminary.data(), order.data(),
                                     criterion.data(), minimum.data(), maximum.data()};
    tsrecon::Options options;
    options.threads = 1;
    options.engine = exec.engine == LsqEngine::kLiteral ? tsrecon::Engine::kLiteral : tsrecon::Engine::kFast;
    const double start = env_.now_seconds();
    if (!tsrecon::reconstruct(settings, in, products, options).ok()) return;
    const double per_pixel = (env_.now_seconds() - start) / static_cast<double>(count);
    const int threads = static_cast<int>(std::min<int64_t>(exec.threads, p_.NS));
    out_.summary.push_back("run time: about " + duration(per_pixel * static_cast<double>(pixels) / threads) + " for " +
                           n(pixels) + " pixels on " + n(threads) + (threads == 1 ? " thread (" : " threads (") +
                           format("%.3g", per_pixel * 1000) + " ms per pixel over " + n(count) +
                           " pixels reconstructed with the " +
                           (exec.engine == LsqEngine::kLiteral ? "literal" : "fast") +
                           " engine; reading and writing aside, and longer when other work shares the cores)");
  }

  Env& env_;
  const CheckOptions& options_;
  JobCheck& out_;
  RunParameters p_;
  int32_t distinct_excluded_ = 0;
  InputHeader data_header_;
};

}  // namespace

int JobCheck::errors() const {
  return static_cast<int>(std::count_if(findings.begin(), findings.end(),
                                        [](const Finding& f) { return f.severity == Severity::kError; }));
}

int JobCheck::warnings() const { return static_cast<int>(findings.size()) - errors(); }

JobCheck check_job(Env& env, const CheckOptions& options) {
  JobCheck out;
  Checker(env, options, out).run();
  return out;
}

std::string format_check(const JobCheck& check) {
  std::string out;
  for (size_t i = 0; i < check.summary.size(); ++i) out += (i == 0 ? "" : "  ") + check.summary[i] + "\n";
  for (Severity severity : {Severity::kError, Severity::kWarning}) {
    for (const Finding& f : check.findings) {
      if (f.severity == severity) out += (severity == Severity::kError ? "error: " : "warning: ") + f.text + "\n";
    }
  }
  auto count = [](int k, const char* what) { return n(k) + " " + what + (k == 1 ? "" : "s"); };
  if (check.ready()) {
    out += check.warnings() == 0 ? "ready\n" : "ready (" + count(check.warnings(), "warning") + ")\n";
  } else {
    out += "not ready: " + count(check.errors(), "error") + ", " + count(check.warnings(), "warning") + "\n";
  }
  return out;
}

}  // namespace tsr::tools
