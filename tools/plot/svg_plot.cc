#include "tools/plot/svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "lsq/constants.h"
#include "lsq/function_matrix.h"
#include "stack/dates.h"
#include "tools/common/xml_text.h"

namespace tsr::tools {
namespace {

constexpr double kWidth = 900.0;
constexpr double kCeilingRaw = kRawCeiling;
constexpr double kScale = kRawScale;

std::string num(double v, const char* format = "%.4g") {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// Coordinates with two decimals: small files, and plenty for a screen.
std::string xy(double x, double y) { return num(x, "%.2f") + "," + num(y, "%.2f"); }

std::string text(double x, double y, const std::string& s, const std::string& attrs = "") {
  return "<text x=\"" + num(x, "%.2f") + "\" y=\"" + num(y, "%.2f") + "\"" + (attrs.empty() ? "" : " " + attrs) +
         ">" + xml_escape(s) + "</text>\n";
}

// A tick spacing of 1, 2, 2.5 or 5 times a power of ten, near span / target.
double nice_step(double span, int target) {
  const double rough = span / target;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (m * power >= rough) return m * power;
  return 10.0 * power;
}

// The unit after a value in the caption: none in the program's scaled
// units, else the units' name (or the scaling when they have none).
std::string unit_suffix(const PlotUnits& u) {
  if (u.scaled()) return "";
  return u.units.empty() ? " (raw / " + num(u.raw_per_unit, "%g") + ")" : " " + u.units;
}

bool has_dates(const PixelReport& r, const PlotUnits& u) {
  return r.nb > 0 && u.dates.size() == static_cast<size_t>(r.nb);
}

// When an event of a season happens: its date with dates, else its band.
std::string event_time(const SeasonEvents& e, int event, bool dated) {
  if (dated && std::isfinite(e.day[event]) && e.day[event] >= kFirstDayNumber && e.day[event] <= kLastDayNumber)
    return format_date(static_cast<int32_t>(std::floor(e.day[event])));
  return "band " + num(e.step[event], "%.1f");
}

// Greenup, peak and dormancy among a season's events.
constexpr int kMarkedEvents[] = {kGreenup, kPeak, kDormancy};
constexpr const char* kMarkedNames[] = {"greenup", "peak", "dormancy"};

// The caption lines of the seasons.
std::vector<std::string> season_lines(const SeasonDetail& d, bool dated) {
  std::vector<std::string> lines;
  for (int s = 0; s < d.count && s < kMaxSeasons; ++s) {
    std::string line = "Season " + std::to_string(s + 1) + " of " + std::to_string(d.count) +
                       " (the model's mean season, repeated every cycle):";
    for (int k = 0; k < 3; ++k)
      line += std::string(k ? "," : "") + " " + kMarkedNames[k] + " " + event_time(d.seasons[s], kMarkedEvents[k], dated);
    lines.push_back(line + ".");
  }
  return lines;
}

// The marks of the seasons in the plot area, at every repetition within the
// record.
std::string season_marks(const SeasonDetail& d, const PlotFrame& f, int npoint, bool dated) {
  std::string s;
  const char* colours[] = {"#2e8b3a", "#1d5c27", "#8b5a2b"};
  for (int season = 0; season < d.count && season < kMaxSeasons; ++season) {
    const SeasonEvents& e = d.seasons[season];
    const double g = e.step[kGreenup], pk = e.step[kPeak], dm = e.step[kDormancy];
    // Repetitions k whose span may reach into 1..nb.
    const int64_t first = static_cast<int64_t>(std::floor((1.0 - dm) / npoint));
    const int64_t last = static_cast<int64_t>(std::ceil((f.nb - g) / npoint));
    for (int64_t k = first; k <= last; ++k) {
      const double shift = static_cast<double>(k * npoint);
      if (dm + shift < 1.0 || g + shift > f.nb) continue;
      const double x0 = f.x_at(g + shift), x1 = f.x_at(dm + shift);
      // A bar along the top of the plot from greenup to dormancy.
      s += "<rect class=\"season-span\" x=\"" + num(x0, "%.2f") + "\" y=\"" + num(f.top, "%.2f") + "\" width=\"" +
           num(x1 - x0, "%.2f") + "\" height=\"8\" fill=\"#58b368\" fill-opacity=\"0.55\"/>\n";
      for (int m = 0; m < 3; ++m) {
        const double x = f.x_at(e.step[kMarkedEvents[m]] + shift);
        const std::string tip = "season " + std::to_string(season + 1) + " " + kMarkedNames[m] +
                                (k == 0 ? ": " + event_time(e, kMarkedEvents[m], dated) : std::string(", another cycle"));
        s += "<line class=\"" + std::string(kMarkedNames[m]) + "\" x1=\"" + num(x, "%.2f") + "\" y1=\"" +
             num(f.top, "%.2f") + "\" x2=\"" + num(x, "%.2f") + "\" y2=\"" + num(f.bottom, "%.2f") + "\" stroke=\"" +
             colours[m] + "\" stroke-width=\"1.2\" stroke-opacity=\"0.85\"" + (m == 1 ? "" : " stroke-dasharray=\"5,3\"") + "><title>" +
             xml_escape(tip) + "</title></line>\n";
      }
      s += text(f.x_at(pk + shift) + 3, f.top + 20, "S" + std::to_string(season + 1),
                "fill=\"#1d5c27\" font-size=\"11\" font-weight=\"bold\"");
    }
  }
  return s;
}

}  // namespace

std::string PlotUnits::axis_label() const {
  if (scaled()) return "value (raw / " + num(kRawScale, "%g") + ")";
  return (units.empty() ? std::string("value") : units) + " (raw / " + num(raw_per_unit, "%g") + ")";
}

double PlotFrame::x_of(int band) const {
  if (nb <= 1) return (left + right) / 2;
  return left + (right - left) * (band - 1) / (nb - 1);
}

double PlotFrame::x_at(double band) const {
  if (nb <= 1) return (left + right) / 2;
  return left + (right - left) * (band - 1) / (nb - 1);
}

double PlotFrame::y_of(double value) const {
  if (std::isnan(value)) return bottom;
  const double v = std::clamp(value, y_min, y_max);
  return bottom - (bottom - top) * (v - y_min) / (y_max - y_min);
}

PlotFrame plot_frame(const PixelReport& r, const PlotUnits& u) {
  PlotFrame f;
  f.left = 80;
  f.right = kWidth - 80;
  f.top = 50;
  f.bottom = 360;
  f.nb = r.nb;
  double lo = 0.0, hi = 0.0;
  auto take = [&](double v) {
    if (!std::isfinite(v)) return;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  };
  for (int16_t v : r.raw)
    if (v <= kTopEdgeRaw) take(u.of_raw(v));
  if (!r.failed())
    for (double v : r.fitted) take(u.of_scaled(v));
  // A preliminary fit pulled far off by no-data values would flatten the
  // rest: it widens the range by at most half the span of the data.
  const double span = hi - lo;
  for (double v : r.preliminary)
    if (std::isfinite(v)) take(std::clamp(u.of_scaled(v), lo - 0.5 * span, hi + 0.5 * span));
  const double ceiling = kCeilingRaw / u.raw_per_unit;
  if (hi > 0.8 * ceiling) take(ceiling);
  if (hi - lo < u.of_scaled(0.05)) hi = lo + u.of_scaled(0.05);
  f.y_step = nice_step(hi - lo, 6);
  f.y_min = std::floor(lo / f.y_step) * f.y_step;
  f.y_max = std::ceil(hi / f.y_step) * f.y_step;
  if (f.y_max - hi < 0.25 * f.y_step) f.y_max += f.y_step;  // room above the highest point
  return f;
}

std::vector<std::string> caption_lines(const PixelReport& r, const PlotUnits& u) {
  std::vector<std::string> lines;
  const std::string unit = unit_suffix(u);
  if (r.failed()) {
    lines.push_back("No model: the final fit gave up (order " + std::to_string(r.order) + ", criterion " +
                    num(r.criterion, "%.6g") + "); f.bsq, p.bsq, min.dat and max.dat hold 0 for this pixel.");
  } else {
    const std::string extremes =
        u.scaled() ? "min " + std::to_string(r.min) + ", max " + std::to_string(r.max) + " (raw)."
                   : "min " + num(u.of_raw(r.min), "%.4g") + ", max " + num(u.of_raw(r.max), "%.4g") + unit +
                         " (raw " + std::to_string(r.min) + ", " + std::to_string(r.max) + ").";
    lines.push_back("Model order " + std::to_string(r.order) + " (cap " + std::to_string(r.nfunc) +
                    "), criterion " + num(r.criterion, "%.6g") + ", " + extremes);
    lines.push_back("constant " + num(u.of_scaled(r.params[0]), "%.6g") + ", trend " +
                    num(u.of_scaled(r.params[1]), "%.6g") + unit +
                    " (change per 10 time steps); harmonics A*sin(2*pi*f*t/" + std::to_string(r.npoint) +
                    " + phase), phase in radians:");
    std::string row;
    for (int k = 1; k <= r.nfunc && k <= kMaxHarmonics; ++k) {
      const double a = u.of_scaled(r.params[static_cast<size_t>(2 * k)]);
      const double ph = r.params[static_cast<size_t>(2 * k + 1)];
      row += (row.empty() ? "" : ";  ") + std::string("f=") + std::to_string(harmonic_frequencies[k - 1]) + ": A " +
             num(a, "%.4g") + ", phase " + num(ph, "%.4g");
      if (k % 3 == 0 || k == r.nfunc) {
        lines.push_back(row);
        row.clear();
      }
    }
  }
  int used = 0;
  for (int16_t w : r.weights_out) used += w == 1 ? 1 : 0;
  std::string excluded;
  for (size_t i = 0; i < r.excluded.size(); ++i)
    if (r.excluded[i]) excluded += (excluded.empty() ? "" : ", ") + std::to_string(i + 1);
  std::string screening = std::to_string(used) + " of " + std::to_string(r.nb) + " samples in the final fit; ";
  if (r.mask)
    screening += "mask.bsq decided which samples count (MASK=1)";
  else
    screening += "residuals from the preliminary fit accepted within [" +
                 num(u.of_scaled(r.lower_threshold), "%.4g") + ", " + num(u.of_scaled(r.upper_threshold), "%.4g") +
                 "]" + unit;
  screening += excluded.empty() ? "; no excluded bands." : "; excluded bands: " + excluded + ".";
  lines.push_back(screening);
  return lines;
}

std::string pixel_svg(const PixelReport& r, const PlotUnits& u, const SeasonDetail* seasons) {
  const PlotFrame f = plot_frame(r, u);
  std::vector<std::string> caption = caption_lines(r, u);
  const bool dated = has_dates(r, u);
  const bool marked = seasons != nullptr && seasons->count > 0;
  if (marked)
    for (const std::string& line : season_lines(*seasons, dated)) caption.push_back(line);
  double legend_y = f.bottom + 62;

  // The body first: the height of the document depends on the legend rows.
  std::string s;
  s += "<title>tsrecon pixel line " + std::to_string(r.line) + ", sample " + std::to_string(r.sample) + "</title>\n";
  s += "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s += "<defs><clipPath id=\"plot-area\"><rect x=\"" + num(f.left, "%.2f") + "\" y=\"" + num(f.top, "%.2f") +
       "\" width=\"" + num(f.right - f.left, "%.2f") + "\" height=\"" + num(f.bottom - f.top, "%.2f") +
       "\"/></clipPath></defs>\n";
  s += text(f.left, 28,
            "Pixel line " + std::to_string(r.line) + ", sample " + std::to_string(r.sample) + "  (" +
                std::to_string(r.nb) + " time steps" +
                (dated ? " " + u.dates.front() + " .. " + u.dates.back() : std::string()) + ", cycle of " +
                std::to_string(r.npoint) + ")",
            "font-size=\"17\" font-weight=\"bold\"");

  // Excluded bands: shaded columns behind everything else.
  const double band_width = f.nb > 1 ? (f.right - f.left) / (f.nb - 1) : 10.0;
  for (int b = 1; b <= r.nb; ++b) {
    if (!r.excluded[static_cast<size_t>(b - 1)]) continue;
    s += "<rect class=\"excluded-band\" x=\"" + num(f.x_of(b) - band_width / 2, "%.2f") + "\" y=\"" +
         num(f.top, "%.2f") + "\" width=\"" + num(band_width, "%.2f") + "\" height=\"" +
         num(f.bottom - f.top, "%.2f") + "\" fill=\"#e4e4e4\"/>\n";
  }

  // Grid, ticks and axes. Left: the shown units; right: raw units.
  for (double v = f.y_min; v <= f.y_max + f.y_step * 1e-6; v += f.y_step) {
    const double y = f.y_of(v);
    const double shown = std::fabs(v) < f.y_step * 1e-9 ? 0.0 : v;
    s += "<line x1=\"" + num(f.left, "%.2f") + "\" y1=\"" + num(y, "%.2f") + "\" x2=\"" + num(f.right, "%.2f") +
         "\" y2=\"" + num(y, "%.2f") + "\" stroke=\"#eeeeee\"/>\n";
    s += text(f.left - 8, y + 4, num(shown, "%.4g"), "text-anchor=\"end\"");
    s += text(f.right + 8, y + 4, num(std::round(shown * u.raw_per_unit), "%.0f"), "fill=\"#777777\"");
  }
  // Dates need more room than band numbers: at most nine labels.
  const double x_step = dated ? std::ceil(std::max(1, r.nb - 1) / 8.0)
                              : std::max(1.0, nice_step(std::max(1, r.nb - 1), 10));
  for (double t = 1; t <= r.nb; t += x_step) {
    const double x = f.x_of(static_cast<int>(t));
    s += "<line x1=\"" + num(x, "%.2f") + "\" y1=\"" + num(f.bottom, "%.2f") + "\" x2=\"" + num(x, "%.2f") +
         "\" y2=\"" + num(f.bottom + 5, "%.2f") + "\" stroke=\"#333333\"/>\n";
    if (dated) {
      s += text(x, f.bottom + 20, u.dates[static_cast<size_t>(t) - 1], "text-anchor=\"middle\" font-size=\"11\"");
    } else {
      s += text(x, f.bottom + 20, num(t, "%.0f"), "text-anchor=\"middle\"");
    }
  }
  s += "<rect x=\"" + num(f.left, "%.2f") + "\" y=\"" + num(f.top, "%.2f") + "\" width=\"" +
       num(f.right - f.left, "%.2f") + "\" height=\"" + num(f.bottom - f.top, "%.2f") +
       "\" fill=\"none\" stroke=\"#333333\"/>\n";
  s += text((f.left + f.right) / 2, f.bottom + 40, dated ? "date (band names of data.hdr)" : "time step (band)",
            "text-anchor=\"middle\"");
  s += text(20, (f.top + f.bottom) / 2, u.axis_label(),
            "text-anchor=\"middle\" transform=\"rotate(-90 20 " + num((f.top + f.bottom) / 2, "%.2f") + ")\"");
  s += text(kWidth - 18, (f.top + f.bottom) / 2, "raw value",
            "text-anchor=\"middle\" fill=\"#777777\" transform=\"rotate(90 " + num(kWidth - 18, "%.2f") + " " +
                num((f.top + f.bottom) / 2, "%.2f") + ")\"");

  if (marked) s += "<g id=\"seasons\" clip-path=\"url(#plot-area)\">\n" + season_marks(*seasons, f, r.npoint, dated) + "</g>\n";
  s += "<g clip-path=\"url(#plot-area)\">\n";
  const double ceiling = kCeilingRaw / u.raw_per_unit;
  if (ceiling <= f.y_max) {
    const double y = f.y_of(ceiling);
    s += "<line id=\"ceiling\" x1=\"" + num(f.left, "%.2f") + "\" y1=\"" + num(y, "%.2f") + "\" x2=\"" +
         num(f.right, "%.2f") + "\" y2=\"" + num(y, "%.2f") + "\" stroke=\"#999999\" stroke-dasharray=\"2,3\"/>\n";
    s += text(f.right - 4, y - 4, "ceiling " + std::to_string(kRawCeiling), "text-anchor=\"end\" fill=\"#777777\" font-size=\"11\"");
  }
  if (!r.mask) {
    // Accepted residuals: preliminary + lower .. preliminary + upper.
    std::string band;
    for (int b = 1; b <= r.nb; ++b)
      band += xy(f.x_of(b), f.y_of(u.of_scaled(r.preliminary[static_cast<size_t>(b - 1)] + r.upper_threshold))) + " ";
    for (int b = r.nb; b >= 1; --b)
      band += xy(f.x_of(b), f.y_of(u.of_scaled(r.preliminary[static_cast<size_t>(b - 1)] + r.lower_threshold))) + " ";
    s += "<polygon id=\"accepted-band\" points=\"" + band + "\" fill=\"#f0a030\" fill-opacity=\"0.13\"/>\n";
    std::string pts;
    for (int b = 1; b <= r.nb; ++b)
      pts += xy(f.x_of(b), f.y_of(u.of_scaled(r.preliminary[static_cast<size_t>(b - 1)]))) + " ";
    s += "<polyline id=\"preliminary-fit\" points=\"" + pts +
         "\" fill=\"none\" stroke=\"#e07800\" stroke-width=\"1.5\" stroke-dasharray=\"6,4\"/>\n";
  }
  if (!r.failed()) {
    std::string pts;
    for (int b = 1; b <= r.nb; ++b) pts += xy(f.x_of(b), f.y_of(u.of_scaled(r.fitted[static_cast<size_t>(b - 1)]))) + " ";
    s += "<polyline id=\"final-fit\" points=\"" + pts +
         "\" fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"2.2\"/>\n";
  }
  s += "</g>\n";

  // Samples, drawn last so that the fits never hide them.
  for (int b = 1; b <= r.nb; ++b) {
    const size_t i = static_cast<size_t>(b - 1);
    const double x = f.x_of(b);
    const bool above = r.raw[i] > kTopEdgeRaw;
    const double y = above ? f.top + 6 : f.y_of(u.of_raw(r.raw[i]));
    // Where gap filling or the envelope filter changed the value the final
    // fit read, a diamond marks the value it read instead.
    const double read = r.final_input[i];
    if (std::isfinite(read) && read != r.raw[i] / kScale) {
      const double ry = f.y_of(u.of_scaled(read));
      s += "<path class=\"adjusted\" d=\"M" + xy(x, ry - 4) + " L" + xy(x + 4, ry) + " L" + xy(x, ry + 4) + " L" +
           xy(x - 4, ry) + " Z\" fill=\"#9ab8e6\" stroke=\"#1f5fbf\" stroke-width=\"0.8\"/>\n";
    }
    const std::string tip = "<title>band " + std::to_string(b) + (dated ? " (" + u.dates[i] + ")" : std::string()) +
                            ": raw " + std::to_string(r.raw[i]) +
                            (u.scaled() || above ? std::string() : " = " + num(u.of_raw(r.raw[i]), "%.4g") + unit_suffix(u)) +
                            "</title>";
    std::string cls = r.excluded[i] ? "excluded" : r.weights_out[i] == 1 ? "used" : "dropped";
    if (above) cls += " above";
    if (above) {
      s += "<path class=\"" + cls + "\" d=\"M" + xy(x, y - 5) + " L" + xy(x - 5, y + 4) + " L" + xy(x + 5, y + 4) +
           " Z\" fill=\"" + (r.weights_out[i] == 1 && !r.excluded[i] ? "#222222" : "#ffffff") +
           "\" stroke=\"" + (r.excluded[i] ? "#777777" : "#c0392b") + "\" stroke-width=\"1.5\">" + tip + "</path>\n";
    } else if (r.excluded[i]) {
      s += "<rect class=\"" + cls + "\" x=\"" + num(x - 4, "%.2f") + "\" y=\"" + num(y - 4, "%.2f") +
           "\" width=\"8\" height=\"8\" fill=\"#ffffff\" stroke=\"#777777\" stroke-width=\"1.5\">" + tip +
           "</rect>\n";
    } else if (r.weights_out[i] == 1) {
      s += "<circle class=\"" + cls + "\" cx=\"" + num(x, "%.2f") + "\" cy=\"" + num(y, "%.2f") +
           "\" r=\"3.5\" fill=\"#222222\">" + tip + "</circle>\n";
    } else {
      s += "<circle class=\"" + cls + "\" cx=\"" + num(x, "%.2f") + "\" cy=\"" + num(y, "%.2f") +
           "\" r=\"4.5\" fill=\"#ffffff\" stroke=\"#c0392b\" stroke-width=\"1.8\">" + tip + "</circle>\n";
    }
  }
  if (r.failed()) {
    s += "<rect x=\"" + num(f.left + 8, "%.2f") + "\" y=\"" + num(f.top + 8, "%.2f") +
         "\" width=\"230\" height=\"26\" fill=\"#ffffff\" fill-opacity=\"0.85\" stroke=\"#c0392b\"/>\n";
    s += text(f.left + 16, f.top + 26, "no model: the fit gave up",
              "id=\"no-model\" fill=\"#c0392b\" font-size=\"16\" font-weight=\"bold\"");
  }

  // Legend, wrapped onto another row when it does not fit. Each symbol is
  // drawn around (x, y), the middle of its 10-unit slot.
  double lx = f.left;
  auto legend = [&](const std::function<std::string(double, double)>& symbol, const std::string& label) {
    const double need = 16 + 7.2 * static_cast<double>(label.size());
    if (lx + need > kWidth - 20) {
      lx = f.left;
      legend_y += 20;
    }
    s += symbol(lx + 5, legend_y);
    s += text(lx + 16, legend_y + 4, label);
    lx += need + 22;
  };
  legend([](double x, double y) { return "<circle cx=\"" + num(x, "%.2f") + "\" cy=\"" + num(y, "%.2f") +
                                         "\" r=\"3.5\" fill=\"#222222\"/>\n"; },
         "in final fit");
  legend([](double x, double y) { return "<circle cx=\"" + num(x, "%.2f") + "\" cy=\"" + num(y, "%.2f") +
                                         "\" r=\"4.5\" fill=\"#ffffff\" stroke=\"#c0392b\" stroke-width=\"1.8\"/>\n"; },
         "left the final fit");
  legend([](double x, double y) { return "<rect x=\"" + num(x - 4, "%.2f") + "\" y=\"" + num(y - 4, "%.2f") +
                                         "\" width=\"8\" height=\"8\" fill=\"#ffffff\" stroke=\"#777777\" "
                                         "stroke-width=\"1.5\"/>\n"; },
         "excluded band");
  legend([](double x, double y) { return "<path d=\"M" + xy(x, y - 5) + " L" + xy(x - 5, y + 4) + " L" +
                                         xy(x + 5, y + 4) +
                                         " Z\" fill=\"#ffffff\" stroke=\"#c0392b\" stroke-width=\"1.5\"/>\n"; },
         "raw above 3072 (drawn at the top)");
  legend([](double x, double y) { return "<path d=\"M" + xy(x, y - 4) + " L" + xy(x + 4, y) + " L" + xy(x, y + 4) +
                                         " L" + xy(x - 4, y) +
                                         " Z\" fill=\"#9ab8e6\" stroke=\"#1f5fbf\" stroke-width=\"0.8\"/>\n"; },
         "value the final fit read (filled or smoothed)");
  if (!r.mask)
    legend([](double x, double y) { return "<line x1=\"" + num(x - 9, "%.2f") + "\" y1=\"" + num(y, "%.2f") +
                                           "\" x2=\"" + num(x + 7, "%.2f") + "\" y2=\"" + num(y, "%.2f") +
                                           "\" stroke=\"#e07800\" stroke-width=\"1.5\" stroke-dasharray=\"6,4\"/>\n"; },
           "preliminary fit (shade: residuals accepted)");
  legend([](double x, double y) { return "<line x1=\"" + num(x - 9, "%.2f") + "\" y1=\"" + num(y, "%.2f") +
                                         "\" x2=\"" + num(x + 7, "%.2f") + "\" y2=\"" + num(y, "%.2f") +
                                         "\" stroke=\"#1f5fbf\" stroke-width=\"2.2\"/>\n"; },
         "final fit");
  if (marked)
    legend([](double x, double y) { return "<rect x=\"" + num(x - 6, "%.2f") + "\" y=\"" + num(y - 6, "%.2f") +
                                           "\" width=\"12\" height=\"5\" fill=\"#58b368\" fill-opacity=\"0.55\"/>\n"
                                           "<line x1=\"" + num(x, "%.2f") + "\" y1=\"" + num(y - 6, "%.2f") + "\" x2=\"" +
                                           num(x, "%.2f") + "\" y2=\"" + num(y + 6, "%.2f") +
                                           "\" stroke=\"#1d5c27\" stroke-width=\"1.4\"/>\n"; },
           "season: bar from greenup to dormancy (dashed lines), peak (solid)");

  const double caption_y = legend_y + 30;
  const double height = caption_y + 18.0 * static_cast<double>(caption.size()) + 10;
  for (size_t i = 0; i < caption.size(); ++i)
    s += text(f.left - 60, caption_y + 18.0 * static_cast<double>(i), caption[i],
              i == 0 ? "font-weight=\"bold\"" : "");
  s += "</svg>\n";

  std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  head += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth, "%.0f") + "\" height=\"" +
          num(height, "%.0f") + "\" viewBox=\"0 0 " + num(kWidth, "%.0f") + " " + num(height, "%.0f") +
          "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\" font-size=\"13\">\n";
  return head + s;
}

}  // namespace tsr::tools
