#include "tools/check/job_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/date_lists.h"
#include "support/fake_env.h"

namespace tsr::tools {
namespace {

// A small sound job: 23 bands of 3 lines x 4 samples, smooth seasonal
// curves in raw units, NFUNC=5 for NPOINT=23.
struct Job {
  int nb = 23, nl = 3, ns = 4;
  std::string groups = "&DATA NFUNC=5 /\n&CONTRL INTP=1 /\n&NPT NPOINT=23 /\n";
  std::vector<int> values;  // band-sequential
  std::map<std::string, std::string> files;

  explicit Job(int bands = 23) : nb(bands) {
    for (int b = 0; b < nb; ++b)
      for (int i = 0; i < nl * ns; ++i)
        values.push_back(static_cast<int>(std::lround(800 + 300 * std::sin(6.283185307179586 * b / 23 + i))));
  }
  int& at(int band, int line, int sample) { return values[static_cast<size_t>(((band - 1) * nl + line - 1) * ns + sample - 1)]; }
  std::string cntl() const { return std::to_string(nb) + "\n" + std::to_string(nl) + " " + std::to_string(ns) + "\n" + groups; }
};

std::string le16(const std::vector<int>& values) {
  std::string s;
  for (int v : values) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
  }
  return s;
}

std::string header(int samples, int lines, int bands, const std::string& band_names = "") {
  return "ENVI\nsamples = " + std::to_string(samples) + "\nlines = " + std::to_string(lines) +
         "\nbands = " + std::to_string(bands) + "\nheader offset = 0\ndata type = 2\ninterleave = bsq\n" +
         "byte order = 0\n" + (band_names.empty() ? "" : "band names = {" + band_names + "}\n");
}

// Dates `step` days apart from 2014-01-01, as band names.
std::string dates(int count, int step) {
  std::string out;
  for (int k = 0; k < count; ++k) {
    const int day = k * step;  // within 2014 for the counts used here
    const int month_start[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
    int m = 0;
    while (day >= month_start[m + 1]) ++m;
    char buf[40];
    std::snprintf(buf, sizeof buf, "2014-%02d-%02d", m + 1, day - month_start[m] + 1);
    out += (k ? ", " : "") + std::string(buf);
  }
  return out;
}

// The dates as band names.
std::string band_names(const std::vector<int32_t>& days) {
  std::string out;
  for (const std::string& t : testing::texts(days)) out += (out.empty() ? "" : ", ") + t;
  return out;
}

struct Expect {
  Severity severity;
  const char* topic;
  const char* text;  // part of the finding
};

struct Case {
  const char* name;
  std::function<void(Job&)> change;
  std::vector<Expect> expect;  // empty: no finding at all
  std::vector<const char*> summary = {};  // parts of the summary lines
  int nb = 23;
};

// Checks the job of a case: its findings, the verdict, the summary, and that
// nothing was created or changed.
void expect_check(const Case& c) {
  SCOPED_TRACE(c.name);
  Job job(c.nb);
  job.files["cntl.dat"] = "";
  job.files["data.bsq"] = "";
  c.change(job);
  testing::FakeEnv env;
  for (auto& [name, bytes] : job.files) {
    if (name == "cntl.dat" && bytes.empty()) bytes = job.cntl();
    if (name == "data.bsq" && bytes.empty()) bytes = le16(job.values);
    env.put(name, bytes);
  }
  const JobCheck check = check_job(env, {5});
  const std::string report = format_check(check);
  SCOPED_TRACE(report);
  if (c.expect.empty()) {
    EXPECT_TRUE(check.findings.empty());
  }
  bool error_expected = false;
  for (const Expect& e : c.expect) {
    error_expected |= e.severity == Severity::kError;
    bool found = false;
    for (const Finding& f : check.findings)
      found |= f.severity == e.severity && f.topic == e.topic && f.text.find(e.text) != std::string::npos;
    EXPECT_TRUE(found) << e.text;
  }
  for (const char* part : c.summary) {
    bool found = false;
    for (const std::string& line : check.summary) found |= line.find(part) != std::string::npos;
    EXPECT_TRUE(found) << part;
  }
  EXPECT_EQ(check.ready(), !error_expected);
  EXPECT_EQ(report.substr(report.rfind('\n', report.size() - 2) + 1, 5), error_expected ? "not r" : "ready");
  // Nothing created or changed.
  for (const auto& [name, bytes] : job.files) EXPECT_EQ(env.contents(name), bytes) << name;
  for (const char* name : {"cntl.dat", "data.bsq", "mask.bsq", "p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat",
                           "min.dat", "max.dat"})
    EXPECT_EQ(env.exists(name), job.files.count(name) == 1) << name;
}

// mask.bsq of a job: 0 where data.bsq holds 32767 (or where `drop` says), 1 elsewhere.
std::string mask_of(const Job& j, const std::function<bool(int band)>& drop = [](int) { return false; }) {
  std::string m;
  for (size_t i = 0; i < j.values.size(); ++i)
    m += static_cast<char>(j.values[i] == 32767 || drop(static_cast<int>(i) / (j.nl * j.ns) + 1) ? 0 : 1);
  return m;
}

TEST(JobCheck, FindsWhatWouldStopOrSpoilTheRun) {
  const Case cases[] = {
      {"sound job", [](Job&) {}, {}},
      {"no cntl.dat", [](Job& j) { j.files.erase("cntl.dat"); },
       {{Severity::kError, "cntl.dat", "no cntl.dat in /job: tsrecon would create an empty one"}}},
      {"syntax fault", [](Job& j) { j.groups = "&DATA NFUNC=4.5 /\n&CONTRL /\n&NPT /\n"; },
       {{Severity::kError, "cntl.dat",
         "cntl.dat line 3 (NFUNC): found '4.5', expected a whole number for NFUNC, without a point or exponent; "
         "tsrecon would stop with error 17 (syntax error in NAMELIST input)"}}},
      {"last line without its line feed", [](Job& j) { j.groups.pop_back(); },
       {{Severity::kError, "cntl.dat", "cntl.dat line 5 (&NPT): the last line, '&NPT NPOINT=23 /', has no line feed "
                                       "at its end, so tsrecon does not read it and stops with error 24"}}},
      {"value out of range", [](Job& j) { j.groups = "&DATA NFUNC=7 /\n&CONTRL /\n&NPT /\n"; },
       {{Severity::kError, "cntl.dat", "NFUNC = 7 in cntl.dat is outside the allowed range 0..6: tsrecon refuses"}}},
      {"no pixel", [](Job& j) { j.ns = -4; },
       {{Severity::kError, "cntl.dat", "cntl.dat gives 3 lines of -4 samples (its second line): that is no pixel"}}},
      {"harmonic beyond the sampling limit", [](Job& j) { j.groups = "&DATA NFUNC=6 /\n&CONTRL /\n&NPT NPOINT=23 /\n"; },
       {{Severity::kError, "NFUNC", "harmonic 6 (12 cycles) of 23 steps sits at or beyond the sampling limit"},
        {Severity::kError, "NFUNC", "NFUNC=5 is the largest sound value for NPOINT=23"}}},
      {"no harmonic pair", [](Job& j) { j.groups = "&DATA NFUNC=1 /\n&CONTRL /\n&NPT NPOINT=23 /\n"; },
       {{Severity::kError, "NFUNC", "NFUNC=1: a model needs at least 2 harmonics"}}},
      {"two harmonics beyond the limit", [](Job& j) { j.groups = "&DATA NFUNC=4 /\n&CONTRL /\n&NPT NPOINT=5 /\n"; },
       {{Severity::kError, "NFUNC", "NFUNC=4 with NPOINT=5: harmonics 3 (3 cycles), 4 (4 cycles) of 5 steps sit at or beyond"},
        {Severity::kError, "NFUNC", "NFUNC=2 is the largest sound value for NPOINT=5"}}},
      {"more parameters than samples",
       [](Job& j) {
         j.groups = "&DATA NFUNC=5, NDEF=13 /\n&CONTRL /\n&NPT NPOINT=23 /\n";
         for (int b : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 12}) j.groups += std::to_string(b) + "\n";
       },
       {{Severity::kError, "NFUNC", "12 parameters but a pixel has at most 11 samples (NB=23, 12 bands excluded)"},
        {Severity::kWarning, "samples", "12 of 12 pixels"}}},
      {"data.bsq missing", [](Job& j) { j.files.erase("data.bsq"); },
       {{Severity::kError, "data.bsq", "data.bsq is missing: tsrecon would create it empty and stop with error 36"}}},
      {"NB one short in cntl.dat", [](Job& j) { j.nb = 22; },
       {{Severity::kError, "data.bsq", "holds 552 bytes, but cntl.dat gives it 528"},
        {Severity::kError, "data.bsq", "it holds exactly 23 bands of the other sizes: is NB 23 rather than 22?"}}},
      {"cube cut short", [](Job& j) { j.files["data.bsq"] = le16(j.values).substr(0, 540); },
       {{Severity::kError, "data.bsq", "tsrecon would stop with error 36 (attempt to access non-existent record) at line 2"}}},
      {"mask missing", [](Job& j) { j.groups = "&DATA NFUNC=5 /\n&CONTRL MASK=1 /\n&NPT NPOINT=23 /\n"; },
       {{Severity::kError, "mask.bsq", "mask.bsq is missing"}}},
      {"negative values",
       [](Job& j) {
         j.at(5, 3, 1) = -7;
         j.at(2, 2, 3) = -5;
       },
       {{Severity::kError, "data.bsq", "holds 2 negative values (values must be 0..32767): tsrecon stops at the "
                                       "first, band 2 line 2 sample 3 (-5)"}}},
      {"NL and NS swapped", [](Job& j) { j.files["data.hdr"] = header(3, 4, 23); },
       {{Severity::kError, "data.hdr", "data.hdr describes 4 lines of 3 samples, cntl.dat 3 lines of 4 samples: NL and "
                                       "NS look swapped"}}},
      {"header with other bands", [](Job& j) { j.files["data.bsq.hdr"] = header(4, 3, 46); },
       {{Severity::kError, "data.bsq.hdr", "data.bsq.hdr: bands is 46 but NB in cntl.dat is 23"}}},
      {"NPOINT against the dates", [](Job& j) {
         j.files["data.hdr"] = header(4, 3, 23, dates(23, 16));
         j.groups = "&DATA NFUNC=5 /\n&CONTRL /\n&NPT NPOINT=46 /\n";
       },
       {{Severity::kWarning, "NPOINT", "NPOINT=46 but the dates of data.hdr lie on the MODIS 16-day grid (23 steps a "
                                       "year): the first harmonic is one cycle in 2 years; NPOINT=23 (with NFUNC at "
                                       "most 5) makes it one cycle per year"}}},
      {"dates that fit", [](Job& j) { j.files["data.hdr"] = header(4, 3, 23, dates(23, 16)); }, {}},
      {"NDVI x 10000 not scaled", [](Job& j) { for (int& v : j.values) v = v * 25 / 4; },
       {{Severity::kError, "scaling", "100.00 % of the values (no-data 32767 aside) lie above the raw ceiling 1536"},
        {Severity::kWarning, "samples", "12 of 12 pixels"}}},
      {"a pixel of no-data", [](Job& j) { for (int b = 1; b <= 20; ++b) j.at(b, 1, 2) = 32767; },
       {{Severity::kError, "missing samples", "missing samples spoil 1 of 12 pixels: 276 samples, 20 missing"},
        {Severity::kWarning, "samples", "1 of 12 pixels (8.33 %) have fewer usable samples (at or below the raw "
                                        "ceiling 1536, in bands not excluded) than the model's NP=12 parameters: "}}},
      {"a pixel with no usable sample", [](Job& j) { for (int b = 1; b <= 23; ++b) j.at(b, 3, 4) = 32767; },
       {{Severity::kWarning, "samples", "1 of 12 pixels (8.33 %) have fewer usable samples (at or below the raw "
                                        "ceiling 1536, in bands not excluded) than the model's NP=12 parameters "
                                        "(1 of them none at all, as in a no-data area)"}}},
      {"stale planes in p.bsq", [](Job& j) { j.files["p.bsq"] = std::string(14 * 12 * 4, '\0'); },
       {{Severity::kWarning, "p.bsq", "p.bsq holds 14 planes of 3 x 4, this run writes 12"},
        {Severity::kWarning, "p.bsq", "delete p.bsq before the run"}}},
      {"product shorter", [](Job& j) { j.files["min.dat"] = "ab"; },
       {{Severity::kWarning, "min.dat", "min.dat holds 2 bytes, this run writes 24"}}},
      {"i.bsq of an earlier run", [](Job& j) {
         j.groups = "&DATA NFUNC=5 /\n&CONTRL INTP=0 /\n&NPT NPOINT=23 /\n";
         j.files["i.bsq"] = std::string(23 * 12 * 2, '\0');
       },
       {{Severity::kWarning, "i.bsq", "i.bsq is left from an earlier run: with INTP=0"}}},
      {"INTP=1 under a mask",
       [](Job& j) {
         j.groups = "&DATA NFUNC=5 /\n&CONTRL INTP=1, MASK=1 /\n&NPT NPOINT=23 /\n";
         j.files["mask.bsq"] = mask_of(j);
       },
       {{Severity::kWarning, "INTP", "INTP=1 with MASK=1: under a mask the preliminary fit does not run, so i.bsq "
                                     "will hold zeros only; set INTP=0"}}},
  };
  for (const Case& c : cases) expect_check(c);
}

void set_groups(Job& j, const std::string& contrl, int npoint = 23, const std::string& records = "") {
  j.groups = "&DATA NFUNC=" + std::string(npoint < 13 ? "4" : "5") + ", NDEF=" + std::to_string(std::count(records.begin(), records.end(), '\n')) +
             " /\n&CONTRL INTP=0, " + contrl + " /\n&NPT NPOINT=" + std::to_string(npoint) + " /\n" + records;
}

// One sample missing in each of pixels 1..6, at band 2 + 3 x pixel.
void scatter_no_data(Job& j) {
  for (int p = 0; p < 6; ++p) j.at(2 + 3 * p, p / 4 + 1, p % 4 + 1) = 32767;
}

TEST(JobCheck, MissingSamplesAgainstHowTheJobTreatsThem) {
  const Case cases[] = {
      {"scattered no-data under MASK=0", [](Job& j) { scatter_no_data(j); },
       {{Severity::kError, "missing samples",
         "missing samples spoil 6 of 12 pixels: 276 samples, 6 missing (2.17 %); of 12 pixels 0 have no valid sample, "
         "6 have 2 % or more of their 23 samples missing (1 to 1, median 1: 4.35 % to 4.35 %), 0 fewer. Under MASK=0, "
         "with no band excluded, a missing sample (32767) enters the preliminary fit"},
        {Severity::kError, "missing samples", "write mask.bsq (1 valid, 0 missing) and set MASK=1"}}},
      {"the same through a mask",
       [](Job& j) {
         scatter_no_data(j);
         set_groups(j, "MASK=1");
         j.files["mask.bsq"] = mask_of(j);
       },
       {}, {"missing samples (32767): 276 samples, 6 missing (2.17 %)", "MASK=1: mask.bsq decides"}},
      {"the same with an excluded band",
       [](Job& j) {
         scatter_no_data(j);
         set_groups(j, "MASK=0", 23, "23\n");
       },
       {}, {"6 have 2 % or more", "excluded bands: gap filling replaces them before the preliminary fit"}},
      {"one missing of 200", [](Job& j) { for (int p = 0; p < 12; ++p) j.at(1 + 16 * p, p / 4 + 1, p % 4 + 1) = 32767; },
       {{Severity::kWarning, "missing samples",
         "12 of 12 pixels have missing samples, fewer than 2 % of their bands each: 2400 samples, 12 missing (0.50 %); "
         "of 12 pixels 0 have no valid sample, 0 have 2 % or more of their 200 samples missing, 12 fewer (at most 1: "
         "0.50 %)"}},
       {}, 200},
      {"the header's no-data code",
       [](Job& j) {
         j.at(4, 2, 2) = 32000;
         j.files["data.hdr"] = header(4, 3, 23) + "data ignore value = 32000\n";
       },
       {{Severity::kError, "missing samples", "spoil 1 of 12 pixels"},
        {Severity::kError, "missing samples", "a missing sample (32000) enters"}}},
      {"complete and empty pixels only", [](Job& j) { for (int b = 1; b <= 23; ++b) j.at(b, 3, 4) = 32767; },
       {{Severity::kWarning, "samples", "(1 of them none at all, as in a no-data area)"}}},
  };
  for (const Case& c : cases) expect_check(c);
}

TEST(JobCheck, ValueScanAtItsEdges) {
  const Case cases[] = {
      {"the ceiling and just above it",
       [](Job& j) {
         for (int s = 1; s <= 4; ++s) j.at(1, 1, s) = 1536, j.at(2, 2, s) = 1537, j.at(3, 3, s) = 1600;
       },
       {}, {"values: 0.00 % no-data (32767), 2.90 % above the ceiling 1536, 0 negative"}},
      {"most values 1537..1600", [](Job& j) { for (size_t i = 0; i < j.values.size(); ++i) j.values[i] = 1537 + i % 64; },
       {{Severity::kError, "scaling", "100.00 % of the values (no-data 32767 aside) lie above the raw ceiling 1536 "
                                      "(largest 1600)"},
        {Severity::kWarning, "samples", "12 of 12 pixels"}}},
      {"half of them above: not yet a scaling fault",
       [](Job& j) { for (size_t i = 0; i < j.values.size(); i += 2) j.values[i] = 1537; },
       {{Severity::kWarning, "samples", "6 of 12 pixels (50.00 %) have fewer usable samples"}},
       {"values: 0.00 % no-data (32767), 50.00 % above the ceiling 1536, 0 negative"}},
      {"zeros are values", [](Job& j) { for (int& v : j.values) v = 0; },
       {}, {"values: 0.00 % no-data (32767), 0.00 % above the ceiling 1536, 0 negative"}},
      {"a mask that removes most bands",
       [](Job& j) {
         set_groups(j, "MASK=1");
         j.files["mask.bsq"] = mask_of(j, [](int band) { return band > 11; });
       },
       {{Severity::kWarning, "samples", "12 of 12 pixels (100.00 %) have fewer usable samples (at or below the raw "
                                        "ceiling 1536, kept by mask.bsq, in bands not excluded) than the model's NP=12"}}},
      {"a mask that keeps just enough",
       [](Job& j) {
         set_groups(j, "MASK=1");
         j.files["mask.bsq"] = mask_of(j, [](int band) { return band > 12; });
       },
       {}},
      {"just enough, one of them at the ceiling",
       [](Job& j) {
         set_groups(j, "MASK=1");
         j.at(1, 1, 1) = 1536;
         j.files["mask.bsq"] = mask_of(j, [](int band) { return band > 12; });
       },
       {}},
      {"a share of no-data pixels", [](Job& j) { for (int b = 1; b <= 23; ++b) j.at(b, 2, 1) = j.at(b, 2, 2) = j.at(b, 2, 3) = 32767; },
       {{Severity::kWarning, "samples", "3 of 12 pixels (25.00 %) have fewer usable samples"},
        {Severity::kWarning, "samples", "(3 of them none at all, as in a no-data area)"}},
       {"values: 25.00 % no-data (32767), 0.00 % above the ceiling 1536, 0 negative"}},
      {"nothing but no-data", [](Job& j) { for (int& v : j.values) v = 32767; },
       {{Severity::kError, "data.bsq", "every value of data.bsq is the no-data value 32767: no pixel would get a model"},
        {Severity::kWarning, "samples", "(12 of them none at all, as in a no-data area)"}}},
      {"a square cube with its header",
       [](Job& j) {
         j.nl = j.ns = 4;
         j.values.resize(23 * 16, 900);
         j.files["data.hdr"] = header(4, 4, 23);
       },
       {}, {"23 bands, 4 lines x 4 samples (16 pixels)"}},
  };
  for (const Case& c : cases) expect_check(c);
}

// A job whose data.hdr names `days` (one band each) and whose NPOINT is `npoint`.
std::function<void(Job&)> dated(std::vector<int32_t> days, int npoint = 23) {
  return [days, npoint](Job& j) {
    j.files["data.hdr"] = header(j.ns, j.nl, j.nb, band_names(days));
    set_groups(j, "MASK=0", npoint);
  };
}

std::vector<int32_t> every(const char* first, int step, int count) {
  std::vector<int32_t> out;
  for (int k = 0; k < count; ++k) out.push_back(testing::day(first) + step * k);
  return out;
}

TEST(JobCheck, DatesOnTheirGrid) {
  using testing::day, testing::days, testing::without, testing::yearly_product_dates_from;
  const auto terra = yearly_product_dates_from(2013, 321, 16, 23);  // 2013-11-17 .. 2014-11-01
  const auto aqua = [] {
    std::vector<int32_t> d;
    for (int y : {2013, 2014})
      for (int doy = 9; doy <= 361; doy += 16) d.push_back(testing::day(std::to_string(y) + "-01-01") + doy - 1);
    return std::vector<int32_t>(d.begin() + 15, d.begin() + 38);  // 2013-09-06 .. 2014-08-21
  }();
  const auto modis8 = yearly_product_dates_from(2014, 329, 8, 23);  // across the year change
  const auto months = days({"2014-01-15", "2014-02-14", "2014-03-16", "2014-04-15", "2014-05-15", "2014-06-15",
                            "2014-07-15", "2014-08-15", "2014-09-15", "2014-10-15", "2014-11-15", "2014-12-15"});
  std::vector<int32_t> dekads;
  for (int m = 1; dekads.size() < 24; ++m)
    for (int d : {1, 11, 21}) dekads.push_back(days_from_civil({2014, m, d}) + 2);
  const Case cases[] = {
      {"MODIS 16-day, three composites missing across the year change",
       dated(without(terra, {terra[2], terra[3], terra[10]}), 23),
       {{Severity::kError, "dates",
         "data.hdr: the dates lie on the MODIS 16-day grid (23 steps a year), but 3 of its 23 steps from 2013-11-17 to "
         "2014-11-01 have no band (2013-12-19, 2014-01-01, 2014-04-23): tsrecon takes band t as step t, so every band "
         "after 2013-12-19 stands for a step before its date (the last 3 steps early)"}},
       {"data.hdr: dates 2013-11-17 .. 2014-11-01 on the MODIS 16-day grid (23 steps a year), 3 of its 23 steps "
        "without a band"},
       20},
      {"Aqua 16-day", dated(without(aqua, {aqua[8]}), 23),
       {{Severity::kError, "dates", "lie on the MODIS Aqua 16-day grid (23 steps a year), but 1 of its 23 steps from "
                                    "2013-09-06 to 2014-08-21 have no band (2014-01-09)"}},
       {}, 22},
      {"8-day", dated(without(modis8, {modis8[5], modis8[6]}), 46),
       {{Severity::kError, "dates", "the 8-day grid (46 steps a year), but 2 of its 23 steps from 2014-11-25 to "
                                    "2015-05-17 have no band (2015-01-01, 2015-01-09)"}},
       {}, 21},
      {"monthly", dated(without(months, {months[6]}), 12),
       {{Severity::kError, "dates", "the monthly grid (12 steps a year), but 1 of its 12 steps from 2014-01-15 to "
                                    "2014-12-15 have no band (2014-07-01)"}},
       {}, 11},
      {"dekads", dated(without(dekads, {dekads[3], dekads[4]}), 36),
       {{Severity::kError, "dates", "the dekadal grid (36 steps a year), but 2 of its 24 steps from 2014-01-03 to "
                                    "2014-08-23 have no band (2014-02-01, 2014-02-11)"}},
       {}, 22},
      {"a fixed step", dated(without(every("2014-01-03", 5, 24), {day("2014-01-18")}), 73),
       {{Severity::kError, "dates", "the 5-day grid (73.05 steps a year), but 1 of its 24 steps from 2014-01-03 to "
                                    "2014-04-28 have no band (2014-01-18)"}},
       {}, 23},
      {"acquisitions on no grid",
       dated(days({"2014-01-03", "2014-01-12", "2014-01-19", "2014-02-04", "2014-02-13", "2014-02-20", "2014-03-08",
                   "2014-03-17", "2014-03-24", "2014-04-09", "2014-04-18", "2014-04-25", "2014-05-11", "2014-05-20",
                   "2014-05-27", "2014-06-12", "2014-06-21", "2014-06-28", "2014-07-14", "2014-07-23", "2014-07-30",
                   "2014-08-15", "2014-08-24"})),
       {{Severity::kError, "dates", "data.hdr: the 23 dates 2014-01-03 .. 2014-08-24 lie on no regular grid (MODIS "
                                    "16-day: 2014-01-03 is not one of its days of the year 1, 17, ..., 353;"},
        {Severity::kError, "dates", "tsrecon takes band t as step t of one grid: composite them onto one with tsrecon-import --step "
                                    "16d|8d|month|dekad|Nd"},
        {Severity::kWarning, "NPOINT", "NPOINT=23 but the dates of data.hdr lie a median 9 days apart"}}},
      {"two bands of one date", [](Job& j) {
         auto d = every("2014-01-01", 16, 23);
         d[7] = d[6];
         dated(d)(j);
       },
       {{Severity::kError, "dates", "data.hdr: band 8 (2014-04-07) does not follow band 7 (2014-04-07)"}}},
      {"NPOINT that is no year", dated(terra, 20),
       {{Severity::kError, "NPOINT", "NPOINT=20 but the dates of data.hdr lie on the MODIS 16-day grid (23 steps a "
                                     "year): a model year of 20 steps is neither the calendar year nor a whole number "
                                     "of years"}},
       {"a band for every step"}},
      {"a fixed step that drifts", dated(every("2014-01-05", 10, 73), 37),
       {{Severity::kWarning, "NPOINT", "the dates of data.hdr lie on the 10-day grid (36.525 steps a year), which does "
                                       "not restart with the year: a cycle of 37 steps (370 days) slides 9 days from "
                                       "the calendar over the 73 bands"}},
       {}, 73},
  };
  for (const Case& c : cases) expect_check(c);
}

TEST(JobCheck, DiskSpaceProductsAndRunTime) {
  Job job;
  testing::FakeEnv env;
  env.put("cntl.dat", job.cntl());
  env.put("data.bsq", le16(job.values));
  env.set_disk(600);  // the products need 23*12*2 * 2 + 12*12*4 + 12 * (1 + 4 + 2 + 2) = 1788 bytes
  JobCheck check = check_job(env);
  ASSERT_EQ(check.errors(), 1) << format_check(check);
  EXPECT_EQ(check.findings[0].text,
            "the products need 1788 bytes more, but only 600 bytes are free: tsrecon would stop part way with error 38 "
            "(error during write)");
  // f.bsq and i.bsq of an earlier run, complete: the rest fits.
  env.put("f.bsq", std::string(23 * 12 * 2, '\0'));
  env.put("i.bsq", std::string(23 * 12 * 2, '\0'));
  env.set_disk(684);
  check = check_job(env);
  EXPECT_TRUE(check.ready()) << format_check(check);
  EXPECT_NE(format_check(check).find("products: 7 files, 1788 bytes in all, 684 bytes still to be written"),
            std::string::npos) << format_check(check);
  env.remove_file("f.bsq");
  env.remove_file("i.bsq");
  env.set_disk(1788);
  env.set_cores(3);
  check = check_job(env);
  EXPECT_TRUE(check.ready()) << format_check(check);
  // The clock of the fake stands still: the sample takes no time at all.
  EXPECT_EQ(check.summary.back(),
            "run time: about 0 s for 12 pixels on 3 threads (0 ms per pixel over 12 pixels reconstructed with the fast "
            "engine; reading and writing aside, and longer when other work shares the cores)");
  env.set("TSRECON_THREADS", "x");
  check = check_job(env);
  ASSERT_EQ(check.errors(), 1);
  EXPECT_EQ(check.findings[0].text, "TSRECON_THREADS must be a positive number of threads, not 'x': tsrecon would "
                                    "refuse to start");
  env.unset("TSRECON_THREADS");
  env.make_directory("f.bsq");
  check = check_job(env);
  ASSERT_EQ(check.errors(), 1);
  EXPECT_EQ(check.findings[0].text, "f.bsq cannot be opened: tsrecon would stop with error 9 (permission to access "
                                    "file denied); is it a directory, or not yours?");
}

}  // namespace
}  // namespace tsr::tools
