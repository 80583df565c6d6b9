#include "tools/plot/svg_plot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace tsr::tools {
namespace {

size_t count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

// The points of the element with `id`, as (x, y) pairs.
std::vector<std::pair<double, double>> points_of(const std::string& svg, const std::string& id) {
  std::vector<std::pair<double, double>> out;
  const size_t at = svg.find("id=\"" + id + "\"");
  if (at == std::string::npos) return out;
  const size_t begin = svg.find("points=\"", at) + 8;
  const size_t end = svg.find('"', begin);
  const char* p = svg.c_str() + begin;
  const char* stop = svg.c_str() + end;
  while (p < stop) {
    char* next = nullptr;
    const double x = std::strtod(p, &next);
    if (next == p) break;
    const double y = std::strtod(next + 1, &next);  // skip the comma
    out.emplace_back(x, y);
    p = next;
  }
  return out;
}

// Every element opened is closed, in order (the document has no comments,
// CDATA or processing instructions besides the XML declaration).
bool well_nested(const std::string& svg) {
  std::vector<std::string> open;
  for (size_t p = svg.find('<'); p != std::string::npos; p = svg.find('<', p + 1)) {
    if (svg.compare(p, 2, "<?") == 0) continue;
    const size_t end = svg.find('>', p);
    if (end == std::string::npos) return false;
    const bool closing = svg[p + 1] == '/';
    const bool self_closing = svg[end - 1] == '/';
    size_t name_start = p + (closing ? 2 : 1);
    size_t name_end = svg.find_first_of(" >/\n", name_start);
    const std::string name = svg.substr(name_start, name_end - name_start);
    if (closing) {
      if (open.empty() || open.back() != name) return false;
      open.pop_back();
    } else if (!self_closing) {
      open.push_back(name);
    }
  }
  return open.empty();
}

// A ten-band pixel: a smooth curve with one cloud dip, one no-data value and
// one excluded band.
PixelReport sample_report() {
  PixelReport r;
  r.line = 3;
  r.sample = 7;
  r.nb = 10;
  r.nfunc = 2;
  r.npoint = 10;
  r.lower_threshold = -0.15000000596046448;
  r.upper_threshold = 0.30000001192092896;
  r.raw = {800, 900, 1000, 200, 1100, 32767, 1000, 900, 800, 700};
  r.weights_in.assign(10, 1);
  r.excluded.assign(10, false);
  r.excluded[8] = true;
  r.weights_out = {1, 1, 1, 0, 1, 0, 1, 1, 0, 1};
  for (int b = 0; b < 10; ++b) {
    const double v = 0.22 + 0.05 * std::sin(b * 0.6);
    r.fitted.push_back(v);
    r.preliminary.push_back(v - 0.01);
    r.final_input.push_back(r.raw[static_cast<size_t>(b)] / 4096.0);
  }
  r.final_input[3] = 0.24;  // the dip, lifted by the envelope filter
  r.final_input[5] = 0.25;  // the no-data value, filled
  r.params = {0.2, 0.001, 0.05, 1.25, 0.0, 0.0};
  r.criterion = -42.5;
  r.order = 2;
  r.min = 700;
  r.max = 1100;
  return r;
}

TEST(SvgPlot, MarksEverySampleByItsFate) {
  const std::string svg = pixel_svg(sample_report());
  EXPECT_TRUE(well_nested(svg));
  EXPECT_EQ(count(svg, "class=\"used\""), 7u);
  EXPECT_EQ(count(svg, "class=\"dropped\""), 1u);
  EXPECT_EQ(count(svg, "class=\"dropped above\""), 1u);  // 32767 sits at the top edge
  EXPECT_EQ(count(svg, "class=\"excluded\""), 1u);
  EXPECT_EQ(count(svg, "class=\"excluded-band\""), 1u);
  EXPECT_EQ(count(svg, "class=\"adjusted\""), 2u);  // the lifted dip and the filled no-data value
  EXPECT_NE(svg.find("<title>band 6: raw 32767</title>"), std::string::npos);
  EXPECT_EQ(svg.find("no-model"), std::string::npos);
}

TEST(SvgPlot, CurvesPassThroughTheFittedValues) {
  const PixelReport r = sample_report();
  const PlotFrame f = plot_frame(r);
  const std::string svg = pixel_svg(r);
  for (const char* id : {"final-fit", "preliminary-fit"}) {
    const std::vector<double>& values = std::string(id) == "final-fit" ? r.fitted : r.preliminary;
    const auto pts = points_of(svg, id);
    ASSERT_EQ(pts.size(), 10u) << id;
    for (int b = 1; b <= 10; ++b) {
      const auto [x, y] = pts[static_cast<size_t>(b - 1)];
      EXPECT_NEAR(x, f.x_of(b), 0.006) << id << " band " << b;
      // Back from the picture to the value: two-decimal coordinates are
      // good to well below one raw unit over this range.
      const double value = f.y_min + (f.bottom - y) / (f.bottom - f.top) * (f.y_max - f.y_min);
      EXPECT_NEAR(value, values[static_cast<size_t>(b - 1)], 1e-4) << id << " band " << b;
    }
  }
  // The accepted band runs along the preliminary fit, upper edge first.
  const auto band = points_of(svg, "accepted-band");
  ASSERT_EQ(band.size(), 20u);
  EXPECT_NEAR(band[0].second, f.y_of(r.preliminary[0] + r.upper_threshold), 0.006);
  EXPECT_NEAR(band[19].second, f.y_of(r.preliminary[0] + r.lower_threshold), 0.006);
}

TEST(SvgPlot, ValueRangeLeavesNoDataAtTheTopEdge) {
  PixelReport r = sample_report();
  PlotFrame f = plot_frame(r);
  EXPECT_LE(f.y_min, 0.0);
  EXPECT_GE(f.y_max, 1100 / 4096.0);
  EXPECT_LT(f.y_max, 1.0);  // 32767 (8.0) did not stretch the axis
  EXPECT_LT(f.y_of(8.0), f.top + 1e-9);
  // Values near the raw ceiling bring the ceiling line into view.
  r.raw[4] = 1500;
  f = plot_frame(r);
  EXPECT_GE(f.y_max, 1536 / 4096.0);
  EXPECT_NE(pixel_svg(r).find("id=\"ceiling\""), std::string::npos);
  // A preliminary fit pulled far off widens the range by at most half the data span.
  r.preliminary[5] = 7.5;
  f = plot_frame(r);
  EXPECT_LT(f.y_max, 1.0);
  // A raw value of 3072 is still drawn in place; 3073 goes to the top edge.
  r = sample_report();
  r.raw[5] = 3072;
  EXPECT_EQ(count(pixel_svg(r), "above\""), 0u);
  EXPECT_GE(plot_frame(r).y_max, 0.75);
  r.raw[5] = 3073;
  EXPECT_EQ(count(pixel_svg(r), "above\""), 1u);
}

TEST(SvgPlot, FailedAndMaskedPixels) {
  PixelReport failed = sample_report();
  failed.order = -1;
  failed.criterion = 77.5;
  failed.fitted.assign(10, 0.0);
  failed.params.assign(6, 0.0);
  const std::string a = pixel_svg(failed);
  EXPECT_TRUE(well_nested(a));
  EXPECT_EQ(a.find("id=\"final-fit\""), std::string::npos);
  EXPECT_NE(a.find("id=\"no-model\""), std::string::npos);
  EXPECT_NE(a.find("id=\"preliminary-fit\""), std::string::npos);

  PixelReport masked = sample_report();
  masked.mask = true;
  masked.preliminary.assign(10, 0.0);
  const std::string b = pixel_svg(masked);
  EXPECT_TRUE(well_nested(b));
  EXPECT_EQ(b.find("id=\"preliminary-fit\""), std::string::npos);
  EXPECT_EQ(b.find("id=\"accepted-band\""), std::string::npos);
  EXPECT_NE(b.find("id=\"final-fit\""), std::string::npos);
}

// In the user's units (NDVI stored as NDVI x 1600) with dates on the time
// axis: the same picture, values times 4096 / 1600.
TEST(SvgPlot, UserUnitsAndDates) {
  const PixelReport r = sample_report();
  PlotUnits u;
  u.raw_per_unit = 1600;
  u.units = "NDVI";
  for (int k = 0; k < 10; ++k) u.dates.push_back("2014-0" + std::to_string(k / 3 + 1) + "-1" + std::to_string(k % 3));
  const PlotFrame f = plot_frame(r, u);
  const std::string svg = pixel_svg(r, u);
  EXPECT_TRUE(well_nested(svg));
  for (const char* piece : {">NDVI (raw / 1600)</text>", ">date (band names of data.hdr)</text>", ">2014-01-10</text>",
                            "(10 time steps 2014-01-10 .. 2014-04-10, cycle of 10)",
                            "<title>band 1 (2014-01-10): raw 800 = 0.5 NDVI</title>",
                            "<title>band 6 (2014-02-12): raw 32767</title>"})
    EXPECT_NE(svg.find(piece), std::string::npos) << piece;
  const auto pts = points_of(svg, "final-fit");
  ASSERT_EQ(pts.size(), 10u);
  for (int b = 1; b <= 10; ++b) {
    const double y = pts[static_cast<size_t>(b - 1)].second;
    const double value = f.y_min + (f.bottom - y) / (f.bottom - f.top) * (f.y_max - f.y_min);
    EXPECT_NEAR(value, r.fitted[static_cast<size_t>(b - 1)] * 4096 / 1600, 1e-4) << b;
  }
  EXPECT_GE(f.y_max, 1100 / 1600.0);
  EXPECT_LT(f.y_max, 2.0);
  std::string caption;
  for (const std::string& line : caption_lines(r, u)) caption += line + "\n";
  for (const char* piece : {"min 0.4375, max 0.6875 NDVI (raw 700, 1100).", "constant 0.512, trend 0.00256 NDVI",
                            "f=1: A 0.128, phase 1.25", "accepted within [-0.384, 0.768] NDVI"})
    EXPECT_NE(caption.find(piece), std::string::npos) << piece << "\nin:\n" << caption;
  // A factor without a name for the units; dates only when there is one per band.
  u.units.clear();
  u.dates.pop_back();
  const std::string plain = pixel_svg(r, u);
  EXPECT_NE(plain.find(">value (raw / 1600)</text>"), std::string::npos);
  EXPECT_NE(plain.find(">time step (band)</text>"), std::string::npos);
  EXPECT_NE(caption_lines(r, u)[1].find("trend 0.00256 (raw / 1600)"), std::string::npos);
}

// x positions of the lines of class `cls`, in document order.
std::vector<double> line_xs(const std::string& svg, const std::string& cls) {
  std::vector<double> out;
  for (size_t p = svg.find("<line class=\"" + cls + "\""); p != std::string::npos;
       p = svg.find("<line class=\"" + cls + "\"", p + 1))
    out.push_back(std::strtod(svg.c_str() + svg.find("x1=\"", p) + 4, nullptr));
  return out;
}

// A season from band 2.5 to 5.5 (peak at 4) of a 4-step cycle: marked in each
// cycle the record of ten bands reaches, its dates (or bands) in the caption.
TEST(SvgPlot, MarksTheSeasonsInEveryCycle) {
  PixelReport r = sample_report();
  r.npoint = 4;
  SeasonDetail d;
  d.count = 1;
  SeasonEvents& e = d.seasons[0];
  for (int k = 0; k < SeasonEvents::kCount; ++k) e.step[static_cast<size_t>(k)] = 2.5 + 0.5 * k;
  for (int k = 0; k < SeasonEvents::kCount; ++k) e.day[static_cast<size_t>(k)] = 16313.0 + 8 * k;  // from 2014-08-31
  struct Case {
    const char* name;
    bool dated;
    const char* caption;
  };
  const Case cases[] = {
      {"steps", false, "Season 1 of 1 (the model's mean season, repeated every cycle): greenup band 2.5, peak band 4.0, dormancy band 5.5."},
      {"dates", true, "greenup 2014-08-31, peak 2014-09-24, dormancy 2014-10-18."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlotUnits u;
    if (c.dated)
      for (int k = 0; k < 10; ++k) u.dates.push_back("2014-09-1" + std::to_string(k));
    const PlotFrame f = plot_frame(r, u);
    const std::string svg = pixel_svg(r, u, &d);
    EXPECT_TRUE(well_nested(svg));
    EXPECT_EQ(count(svg, "class=\"season-span\""), 3u);  // cycles -1, 0 and 1 reach into bands 1..10
    const std::vector<double> peaks = line_xs(svg, "peak"), greenups = line_xs(svg, "greenup");
    ASSERT_EQ(peaks.size(), 3u);
    ASSERT_EQ(greenups.size(), 3u);
    for (int k = -1; k <= 1; ++k) {
      EXPECT_NEAR(peaks[static_cast<size_t>(k + 1)], f.x_at(4.0 + 4 * k), 0.006);
      EXPECT_NEAR(greenups[static_cast<size_t>(k + 1)], f.x_at(2.5 + 4 * k), 0.006);
    }
    EXPECT_EQ(line_xs(svg, "dormancy").size(), 3u);
    EXPECT_NE(svg.find(c.caption), std::string::npos) << svg;
    // Without seasons, the picture of a pixel without them.
    d.count = 0;
    EXPECT_EQ(pixel_svg(r, u, &d), pixel_svg(r, u));
    d.count = 1;
  }
}

TEST(SvgPlot, CaptionStatesTheModel) {
  struct Case {
    int order;
    double criterion;
    std::vector<std::string> expect;  // pieces, in caption order
  };
  const Case cases[] = {
      {2, -42.5, {"Model order 2 (cap 2), criterion -42.5, min 700, max 1100", "constant 0.2, trend 0.001",
                  "f=1: A 0.05, phase 1.25;  f=2: A 0, phase 0", "7 of 10 samples in the final fit",
                  "accepted within [-0.15, 0.3]", "excluded bands: 9."}},
      {-1, 77.5, {"No model: the final fit gave up (order -1, criterion 77.5)", "7 of 10 samples"}},
      {1, 12.0, {"No model: the final fit gave up (order 1, criterion 12)"}},
      {3, 0.0, {"No model: the final fit gave up (order 3, criterion 0)"}},
  };
  for (const Case& c : cases) {
    PixelReport r = sample_report();
    r.order = c.order;
    r.criterion = c.criterion;
    std::string all;
    for (const std::string& line : caption_lines(r)) all += line + "\n";
    size_t at = 0;
    for (const std::string& piece : c.expect) {
      const size_t found = all.find(piece, at);
      ASSERT_NE(found, std::string::npos) << piece << "\nin:\n" << all;
      at = found + piece.size();
    }
  }
  // Six harmonics take two rows of three; a mask run says so instead of thresholds.
  PixelReport six = sample_report();
  six.nfunc = 6;
  six.params.assign(14, 0.5);
  six.mask = true;
  const std::vector<std::string> lines = caption_lines(six);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2].rfind("f=1:", 0), 0u);
  EXPECT_EQ(lines[3].rfind("f=4:", 0), 0u);
  EXPECT_NE(lines[3].find("f=12: A 0.5, phase 0.5"), std::string::npos);
  EXPECT_NE(lines[4].find("mask.bsq decided"), std::string::npos);
}

}  // namespace
}  // namespace tsr::tools
