// The picture of one pixel: its raw series, which samples the final fit
// used, the preliminary fit with the band of accepted residuals, the final
// fit, and a caption with the model. The result is a self-contained SVG
// document (no scripts, fonts or files of its own).
#pragma once

#include <string>
#include <vector>

#include "domain/raw.h"
#include "seasons/seasons.h"
#include "tools/plot/pixel_report.h"

namespace tsr::tools {

// How values and time are shown. Values are raw / raw_per_unit: by default
// the program's scaled units (raw / 4096); with the scaling of the cube (for
// NDVI stored as NDVI x 1600: 1600 and "NDVI") the user's own units. The time
// steps are labelled with `dates` when it holds one per band.
struct PlotUnits {
  double raw_per_unit = kRawScale;
  std::string units;               // what a unit is ("NDVI"); empty: no name
  std::vector<std::string> dates;  // band names that are dates, or empty
  bool scaled() const { return raw_per_unit == kRawScale && units.empty(); }
  // A value in the program's scaled units (raw / kRawScale) as shown.
  double of_scaled(double v) const { return v * kRawScale / raw_per_unit; }
  double of_raw(int32_t raw) const { return raw / raw_per_unit; }
  // The label of the value axis: "value (raw / 4096)", "NDVI (raw / 1600)".
  std::string axis_label() const;
};

// Geometry of the plot area in SVG user units, and the value range shown.
struct PlotFrame {
  double left = 0, right = 0, top = 0, bottom = 0;  // plot area
  double y_min = 0, y_max = 0;                      // shown units at bottom and top
  double y_step = 0;                                // tick spacing
  int nb = 0;
  double x_of(int band) const;                      // band 1..nb
  double x_at(double band) const;                   // a fractional band
  double y_of(double value) const;                  // clamped to the plot area
};

// Raw values above this are drawn at the top edge instead of stretching the
// value axis (no-data values such as 32767 would flatten everything else).
constexpr int kTopEdgeRaw = 3072;

// The frame the plot of `r` uses: the value range covers 0, every raw value
// up to kTopEdgeRaw, the preliminary fit and the final fit, widened to whole
// tick steps; the ceiling of 1536 is included when the data come near it.
PlotFrame plot_frame(const PixelReport& r, const PlotUnits& units = {});

// Caption lines: model order and criterion, constant and trend, amplitude
// and phase of each harmonic, and the screening summary; values in the
// shown units.
std::vector<std::string> caption_lines(const PixelReport& r, const PlotUnits& units = {});

// The SVG document. Markers carry the classes "used" (took part in the final
// fit), "dropped" (left it), "excluded" (band listed in cntl.dat) and
// "above" (raw value above kTopEdgeRaw), and "adjusted" marks the value the
// final fit read where gap filling or the envelope filter changed it; the fits are the polylines with ids
// "final-fit" and "preliminary-fit", the accepted residual band the polygon
// "accepted-band". With `seasons` (the pixel's, from pixel_seasons) each
// season is marked wherever it falls in the record (its mean season repeats
// every NPOINT steps): a shaded span from greenup to dormancy and lines of
// the classes "greenup", "peak" and "dormancy", with a caption line per
// season; a pixel without seasons is drawn as without them.
std::string pixel_svg(const PixelReport& r, const PlotUnits& units = {}, const SeasonDetail* seasons = nullptr);

}  // namespace tsr::tools
