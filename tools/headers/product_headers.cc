#include "tools/headers/product_headers.h"

#include "domain/header_keys.h"
#include "domain/model.h"
#include "domain/raw.h"
#include "seasons/seasons.h"
#include "tools/common/xml_text.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tsr::tools {
namespace {

// The text between the outer braces of an ENVI value, or the value itself.
std::string unbraced(const std::string& v) {
  const size_t open = v.find('{');
  const size_t close = v.rfind('}');
  if (open == std::string::npos || close == std::string::npos || close < open) return v;
  return v.substr(open + 1, close - open - 1);
}

int envi_type_of(ElementType t) {
  switch (t) {
    case ElementType::kInt16: return kEnviInt16;
    case ElementType::kFloat32: return kEnviFloat32;
    case ElementType::kUInt8:
    case ElementType::kInt8: break;
  }
  return kEnviByte;
}

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// What a file holds, for the header's description.
std::string description_of(const JobFile& f) {
  const std::string raw_units = "raw units of data.bsq (" + number(kRawScale) + " = 1.0)";
  std::string cycles;
  for (int32_t c : harmonic_frequencies) cycles += (cycles.empty() ? "" : ", ") + std::to_string(c);
  const std::string step = number(kLinearTermStep);
  switch (f.content) {
    case Content::kInput:
      return f.presence == Presence::kWithMask
                 ? "tsrecon mask cube: per-sample weights 0..255 (1 = clear sample)"
                 : "tsrecon input cube: one band per time step, 16-bit raw values, " + number(kRawScale) +
                       " = 1.0; values above " + std::to_string(kRawCeiling) + " are screened out";
    case Content::kParameters:
      return "tsrecon model parameters: constant, trend (coefficient of " + step +
             " * time step), then amplitude and phase (radians, -pi..pi) per harmonic; value(t) = constant + "
             "trend * " + step + " * t + sum of amplitude * sin(2 pi f t / NPOINT + phase) with f = " + cycles +
             "; units of data.bsq divided by " + number(kRawScale) + "; all 0 where the fit gave up";
    case Content::kPreliminary:
      return "tsrecon preliminary series: the three-harmonic fit that screens the samples, " + raw_units;
    case Content::kFitted:
      return "tsrecon fitted series: the final model at every time step, " + raw_units + "; 0 where the fit gave up";
    case Content::kOrder:
      return "tsrecon model order (highest harmonic kept); stored as signed bytes, so 255 means -1: "
             "the fit gave up (order.vrt shows the signed values)";
    case Content::kCriterion:
      static_assert(kLargestStoredCriterion == 1e8, "the description gives the bound");
      return "tsrecon information criterion of the final fit; 0 where its magnitude exceeds 1e8";
    case Content::kMinimum:
      return "tsrecon minimum of the fitted series, " + raw_units + "; 0 where the fit gave up";
    case Content::kMaximum:
      return "tsrecon maximum of the fitted series, " + raw_units + "; 0 where the fit gave up";
  }
  return "";
}

std::vector<std::string> band_names_of(const JobFile& f, const RunParameters& p,
                                       const std::vector<std::string>& time_names) {
  switch (f.content) {
    case Content::kParameters: return parameter_names(p.NFUNC);
    case Content::kOrder: return {"order"};
    case Content::kCriterion: return {"aic"};
    case Content::kMinimum: return {"min"};
    case Content::kMaximum: return {"max"};
    default:
      return time_names.size() == static_cast<size_t>(p.NB) ? time_names : time_step_names(p.NB);
  }
}

}  // namespace

std::vector<HeaderPlan> header_plans(const RunParameters& p, const std::vector<std::string>& time_names) {
  std::vector<HeaderPlan> files;
  for (const JobFile& entry : kRunFiles) {
    HeaderPlan f;
    f.name = entry.name;
    f.input = is_input(entry);
    f.header.description = description_of(entry);
    f.header.samples = p.NS;
    f.header.lines = p.NL;
    f.header.bands = planes_of(entry, p.NB, p.NP);
    f.header.data_type = envi_type_of(entry.type);
    f.header.band_names = band_names_of(entry, p, time_names);
    f.expected_bytes = full_file_bytes(entry, p.NB, p.NP, p.NL, p.NS);
    files.push_back(std::move(f));
  }
  return files;
}

HeaderPlan seasons_header_plan(const RunParameters& p, const SeasonsFacts& facts) {
  HeaderPlan f;
  f.name = std::string(kSeasonsFile);
  f.header.samples = p.NS;
  f.header.lines = p.NL;
  f.header.bands = kSeasonBandCount;
  f.header.data_type = kEnviFloat32;
  for (std::string_view name : kSeasonBandNames) f.header.band_names.emplace_back(name);
  f.header.ignore_value = "nan";
  f.expected_bytes = int64_t{kSeasonBandCount} * p.NL * p.NS * 4;
  const std::string npoint = std::to_string(p.NPOINT);
  std::string d =
      "tsrecon seasons of each pixel's model (tsrecon-seasons, from p.bsq and order.dat): nseasons (0, 1 or 2); "
      "greenup, midgreenup, maturity, peak, senescence, midgreendown, dormancy, length, base, peak value, "
      "amplitude, rates of greenup and greendown, integral and integral above the base of seasons 1 and 2 "
      "(in the order of their peaks); trend_per_year. These are the mean season of the record: the model's "
      "periodic part repeats every NPOINT = " + npoint + " steps, and the values are those of the model at the "
      "middle of the record" + (facts.known ? " (" + facts.middle + ")" : std::string()) +
      ": the trend shifts the values year by year, never the dates. ";
  const std::string dates =
      "Dates are days of the year, fractional, relative to 1 January of the year of the season's peak (below 1 "
      "or above 365 where a season reaches into the year before or after); lengths in days, rates per day, "
      "integrals value x days. ";
  const std::string steps =
      "Dates are steps (data.hdr gives no dates): the fractional band of the cycle of NPOINT bands in which the "
      "peak falls (1 = its first band), lengths in steps, rates per step, integrals value x steps. ";
  if (facts.known) {
    d += facts.dated ? dates : steps;
    d += "Values in " + (facts.units.empty() ? std::string("units of raw / ") + number(facts.factor)
                                              : facts.units + " (raw / " + number(facts.factor) + ")") +
         ", trend_per_year per " + npoint + " steps. A season counts with a rise of " +
         number(facts.min_amplitude) + " or more above each of its troughs and " + number(facts.min_share) +
         " or more of the largest. ";
    f.header.extra.emplace_back(header_key::kFactor, number(facts.factor));
    if (!facts.units.empty()) f.header.extra.emplace_back(header_key::kUnits, facts.units);
  } else {
    d += "The scaling, the thresholds and whether dates are days or steps are those tsrecon-seasons was run with "
         "(this header was written by tsrecon-hdr; tsrecon-seasons writes its own, which tells them). ";
  }
  d += "NaN where a pixel has no model (order 1 or less, or every parameter 0) and in the bands of a season it "
       "does not have.";
  f.header.description = std::move(d);
  return f;
}

bool geotransform_of(const std::string& map_info, double (&gt)[6]) {
  // {projection name, reference x, reference y, easting, northing, x size, y size, ...}
  std::string inner = unbraced(map_info);
  std::vector<std::string> fields;
  std::stringstream ss(inner);
  for (std::string field; std::getline(ss, field, ',');) fields.push_back(field);
  if (fields.size() < 7) return false;
  double v[6];
  for (int i = 0; i < 6; ++i) {
    const std::string& f = fields[static_cast<size_t>(i) + 1];
    char* end = nullptr;
    v[i] = std::strtod(f.c_str(), &end);
    if (end == f.c_str()) return false;
  }
  // A rotated grid does not fit this simple form.
  if (inner.find("rotation") != std::string::npos) return false;
  const double ref_x = v[0], ref_y = v[1], east = v[2], north = v[3], dx = v[4], dy = v[5];
  gt[0] = east - (ref_x - 1.0) * dx;
  gt[1] = dx;
  gt[2] = 0.0;
  gt[3] = north + (ref_y - 1.0) * dy;
  gt[4] = 0.0;
  gt[5] = -dy;
  return true;
}

std::string order_vrt(const RunParameters& p, const EnviGeoref& georef) {
  std::string out = "<VRTDataset rasterXSize=\"" + std::to_string(p.NS) + "\" rasterYSize=\"" +
                    std::to_string(p.NL) + "\">\n";
  if (!georef.coordinate_system_string.empty())
    out += "  <SRS>" + xml_escape(unbraced(georef.coordinate_system_string)) + "</SRS>\n";
  double gt[6];
  if (!georef.map_info.empty() && geotransform_of(georef.map_info, gt)) {
    out += "  <GeoTransform>";
    for (int i = 0; i < 6; ++i) {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", gt[i]);
      out += (i ? ", " : "") + std::string(buf);
    }
    out += "</GeoTransform>\n";
  }
  out +=
      "  <VRTRasterBand dataType=\"Int16\" band=\"1\">\n"
      "    <Description>order</Description>\n"
      "    <ComplexSource>\n"
      "      <SourceFilename relativeToVRT=\"1\">order.dat</SourceFilename>\n"
      "      <SourceBand>1</SourceBand>\n"
      "      <LUT>0:0,127:127,128:-128,255:-1</LUT>\n"
      "    </ComplexSource>\n"
      "  </VRTRasterBand>\n"
      "</VRTDataset>\n";
  return out;
}

}  // namespace tsr::tools
