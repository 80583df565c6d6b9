#include "tools/seasons/season_maps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "domain/model.h"
#include "io/conversions.h"
#include "seasons/seasons.h"
#include "support/bytes.h"
#include "support/fake_env.h"
#include "support/job.h"
#include "support/random.h"
#include "tools/common/envi_header.h"

namespace tsr::tools {
namespace {

using testing::FakeEnv;

constexpr int32_t kNb = 46, kNl = 5, kNs = 7, kNfunc = 4, kNpoint = 23;
constexpr int32_t kNp = 2 * kNfunc + 2;
constexpr int64_t kPixels = int64_t{kNl} * kNs;

// A finished run's p.bsq and order.dat: seasonal models of NDVI-like
// series, and among them pixels without a model by either form of the rule
// (order below 2; every parameter 0) and a flat one.
struct StoredRun {
  std::vector<float> params;  // planes of p.bsq
  std::vector<int8_t> orders;

  explicit StoredRun(uint64_t seed) : params(static_cast<size_t>(kNp * kPixels)), orders(static_cast<size_t>(kPixels)) {
    testing::SplitMix64 rng(seed);
    for (int64_t i = 0; i < kPixels; ++i) {
      float* p = &params[static_cast<size_t>(i)];
      auto set = [&](int32_t plane, double v) { p[plane * kPixels] = static_cast<float>(v); };
      orders[static_cast<size_t>(i)] = static_cast<int8_t>(2 + rng.next() % 3);
      set(0, 0.15 + 0.2 * rng.unit());
      set(1, 0.004 * (rng.unit() - 0.5));
      for (int32_t k = 1; k <= kNfunc; ++k) {
        set(amplitude_plane(k), (k == 1 ? 0.15 : 0.08 / k) * rng.unit());
        set(phase_plane(k), 6.283185307179586 * (rng.unit() - 0.5));
      }
      if (i == 3) orders[3] = 1;                                  // order too low, parameters kept
      if (i == 4) orders[4] = -1;                                 // the fit gave up
      if (i == 5)
        for (int32_t j = 0; j < kNp; ++j) set(j, 0.0);           // every parameter 0
      if (i == 6)
        for (int32_t j = 2; j < kNp; ++j) set(j, 0.0);           // flat
    }
  }

  std::string p_bsq(bool big_endian = false) const {
    std::string out;
    for (float v : params) {
      unsigned char b[4];
      store32(b, real4_bits(v), big_endian);
      out.append(reinterpret_cast<const char*>(b), 4);
    }
    return out;
  }
  std::string order_dat() const { return std::string(reinterpret_cast<const char*>(orders.data()), orders.size()); }
};

// MODIS-like 16-day dates over two years from 2013-01-01.
std::vector<int32_t> band_days() {
  std::vector<int32_t> d;
  for (int32_t year = 0; year < 2; ++year)
    for (int32_t k = 0; k < kNpoint; ++k) d.push_back(15706 + 365 * year + 16 * k);
  return d;
}

std::string data_hdr(const std::vector<int32_t>& days, const std::string& factor) {
  std::string names;
  for (int32_t day : days) {
    // YYYY-MM-DD of day numbers in 2013 and 2014.
    int32_t y = day >= 16071 ? 2014 : 2013, doy = day - (y == 2014 ? 16071 : 15706);
    const int md[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int m = 0;
    while (doy >= md[m]) doy -= md[m++];
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m + 1, doy + 1);
    names += (names.empty() ? "" : ", ") + std::string(buf);
  }
  return "ENVI\nsamples = 7\nlines = 5\nbands = 46\ndata type = 2\ninterleave = bsq\nbyte order = 0\n"
         "map info = {UTM, 1, 1, 500000, 4000000, 250, 250, 21, South, WGS-84}\n" +
         (days.empty() ? std::string() : "band names = {" + names + "}\n") +
         (factor.empty() ? std::string() : "tsrecon factor = " + factor + "\ntsrecon units = NDVI\n");
}

void put_job(FakeEnv& env, const StoredRun& run, const std::string& header) {
  testing::ControlFile c;
  c.nb = kNb;
  c.nl = kNl;
  c.ns = kNs;
  c.npoint = kNpoint;
  c.data_group = "NFUNC=4";
  env.put("cntl.dat", c.text());
  env.put("p.bsq", run.p_bsq());
  env.put("order.dat", run.order_dat());
  if (!header.empty()) env.put("data.hdr", header);
}

// The bands of seasons.bsq computed here pixel by pixel, as floats.
std::vector<float> expected_maps(const StoredRun& run, const std::vector<int32_t>& days, double factor) {
  const std::vector<double> d(days.begin(), days.end());
  SeasonsModel model{kNb, kNpoint, kNfunc, harmonic_frequencies, days.empty() ? nullptr : d.data()};
  SeasonsOptions options;
  options.factor = factor;
  SeasonsPlan plan;
  EXPECT_TRUE(plan.init(model, options, nullptr));
  SeasonsWorkspace ws(plan);
  std::vector<float> out(static_cast<size_t>(kSeasonBandCount * kPixels));
  for (int64_t i = 0; i < kPixels; ++i) {
    double p[kNp], bands[kSeasonBandCount];
    for (int32_t j = 0; j < kNp; ++j) p[j] = run.params[static_cast<size_t>(j * kPixels + i)];
    const bool model_there = run.orders[static_cast<size_t>(i)] >= 2 &&
                             std::any_of(p, p + kNp, [](double v) { return v != 0.0; });
    compute_seasons(plan, p, model_there, &ws, bands);
    for (int b = 0; b < kSeasonBandCount; ++b) out[static_cast<size_t>(b * kPixels + i)] = static_cast<float>(bands[b]);
  }
  return out;
}

// Floats equal bit for bit (NaN to NaN).
void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    uint32_t a, b;
    std::memcpy(&a, &got[i], 4);
    std::memcpy(&b, &want[i], 4);
    ASSERT_EQ(a, b) << "band " << i / kPixels << " pixel " << i % kPixels;
  }
}

TEST(SeasonMaps, EveryBlockingAndByteOrderGivesThePixelsOwnSeasons) {
  const StoredRun run(7);
  struct Case {
    const char* name;
    int64_t block_pixels;
    int threads;
    bool big_endian, dated;
    std::string factor;
  };
  const Case cases[] = {
      {"a line per block, one thread, dates and NDVI", 1, 1, false, true, "1600"},
      {"the whole cube at once, three threads", 1 << 20, 3, false, true, "1600"},
      {"two lines per block, big-endian p.bsq", 2 * kNs, 2, true, true, "1600"},
      {"no dates, no scaling", 3 * kNs, 2, false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnv env;
    const std::vector<int32_t> days = c.dated ? band_days() : std::vector<int32_t>{};
    put_job(env, run, data_hdr(days, c.factor));
    if (c.big_endian) {
      env.set("FORT_CONVERT50", "BIG_ENDIAN");
      env.put("p.bsq", run.p_bsq(true));
    }
    SeasonMapsOptions options;
    options.block_pixels = c.block_pixels;
    options.threads = c.threads;
    SeasonMapsReport report;
    ASSERT_TRUE(make_season_maps(env, options, &report).is_ok());
    expect_same_bits(testing::floats_le(env.contents("seasons.bsq")),
                     expected_maps(run, days, c.factor.empty() ? 4096.0 : 1600.0));
    EXPECT_FALSE(env.exists("seasons.bsq.part"));
    // Pixels 3, 4 and 5 have no model; 6 is flat.
    EXPECT_EQ(report.no_model, 3);
    EXPECT_GE(report.with_seasons[0], 1);
    EXPECT_EQ(report.no_model + report.with_seasons[0] + report.with_seasons[1] + report.with_seasons[2], kPixels);

    std::map<std::string, std::string> e;
    ASSERT_TRUE(parse_envi_header(env.contents("seasons.hdr"), e));
    EXPECT_TRUE(input_header_problems(e, kNs, kNl, kSeasonBandCount, kEnviFloat32).empty());
    EXPECT_EQ(e["data ignore value"], "nan");
    const std::vector<std::string> names = envi_list(e["band names"]);
    ASSERT_EQ(names.size(), kSeasonBandNames.size());
    for (size_t b = 0; b < names.size(); ++b) EXPECT_EQ(names[b], kSeasonBandNames[b]);
    EXPECT_EQ(e["map info"], "{UTM, 1, 1, 500000, 4000000, 250, 250, 21, South, WGS-84}");
    EXPECT_EQ(e["tsrecon factor"], c.factor.empty() ? "4096" : c.factor);
    EXPECT_EQ(e.count("tsrecon units"), c.factor.empty() ? 0u : 1u);
    const std::string& d = e["description"];
    EXPECT_NE(d.find("never the dates"), std::string::npos) << d;
    EXPECT_NE(d.find(c.dated ? "Dates are days of the year" : "Dates are steps"), std::string::npos) << d;
    EXPECT_NE(d.find(c.dated ? "band 23.5 (2013-12-25)" : "band 23.5)"), std::string::npos) << d;
  }
}

TEST(SeasonMaps, RefusesLeavingNoMapsBehind) {
  const StoredRun run(3);
  struct Case {
    const char* name;
    void (*spoil)(FakeEnv&);
    const char* message;  // the start of the refusal; empty: an interrupt
  };
  const Case cases[] = {
      {"no cntl.dat", [](FakeEnv& e) { e.remove_file("cntl.dat"); }, "cannot read cntl.dat in /job"},
      {"p.bsq cut short", [](FakeEnv& e) { e.put("p.bsq", e.contents("p.bsq").substr(0, 1399)); },
       "p.bsq holds 1399 bytes, less than the 1400 that cntl.dat gives it"},
      {"no order.dat", [](FakeEnv& e) { e.remove_file("order.dat"); }, "cannot open order.dat in /job"},
      {"data.hdr no ENVI header", [](FakeEnv& e) { e.put("data.hdr", "samples = 7\n"); },
       "data.hdr is not an ENVI header"},
      {"a byte order tsrecon refuses", [](FakeEnv& e) { e.set("FORT_CONVERT50", "SIDEWAYS"); },
       "FORT_CONVERT50=SIDEWAYS is not a byte order"},
      {"a thread count tsrecon refuses", [](FakeEnv& e) { e.set("TSRECON_THREADS", "many"); }, "TSRECON_THREADS"},
      {"dates that do not increase",
       [](FakeEnv& e) {
         std::vector<int32_t> d = band_days();
         std::swap(d[4], d[5]);
         e.put("data.hdr", data_hdr(d, "1600"));
       },
       "cannot make seasons: the dates of bands 5 and 6 do not increase"},
      {"too little disk", [](FakeEnv& e) { e.set_disk(1000); }, "seasons.bsq needs 4480 bytes, and 1000 are free"},
      {"a full disk", [](FakeEnv& e) { e.limit_size("seasons.bsq.part", 2000); }, "cannot write seasons.bsq.part"},
      {"an interrupt", [](FakeEnv& e) { e.interrupt_when_console_holds(""); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnv env;
    put_job(env, run, data_hdr(band_days(), "1600"));
    c.spoil(env);
    SeasonMapsReport report;
    const Status s = make_season_maps(env, {}, &report);
    if (*c.message == '\0') {
      EXPECT_EQ(s.code(), Status::Code::kInterrupted);
    } else {
      EXPECT_EQ(s.code(), Status::Code::kRefused);
      EXPECT_EQ(s.text().rfind(c.message, 0), 0u) << s.text();
    }
    for (const char* name : {"seasons.bsq", "seasons.bsq.part", "seasons.hdr"}) EXPECT_FALSE(env.exists(name)) << name;
  }
}

}  // namespace
}  // namespace tsr::tools
