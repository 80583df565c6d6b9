// The files of a run as GIS software should see them: for every input cube
// and product, its layout (planes, element type, band names, a description)
// and its expected size, all derived from the run parameters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control/run_parameters.h"
#include "domain/run_files.h"
#include "tools/common/envi_header.h"

namespace tsr::tools {

// The header tsrecon-hdr gives one file of the run, and the file's size.
struct HeaderPlan {
  std::string name;            // file name in the working directory, e.g. "p.bsq"
  bool input = false;          // data.bsq and mask.bsq: read, never written
  EnviHeader header;           // layout; no georeferencing yet
  int64_t expected_bytes = 0;  // planes * NL * NS * element size
};

// The header of every file a run with the (completed) parameters `p` reads
// or may write (kRunFiles). mask.bsq and i.bsq are listed whatever MASK and
// INTP say: the caller decides by what is present. The bands of p.bsq are
// named by parameter_names, those of the series (data, mask, i, f) by
// `time_names` when it holds NB names (the dates of the input cube), else by
// time_step_names.
std::vector<HeaderPlan> header_plans(const RunParameters& p, const std::vector<std::string>& time_names = {});

// What the maps of seasons.bsq were made with, for its header.
struct SeasonsFacts {
  // False when they are not known (a header written after the maps): the
  // description then says where they are told.
  bool known = false;
  bool dated = false;        // days are dates (days of the year); false: steps
  std::string middle;        // the middle of the record, "band 12 (2014-03-06)"
  double factor = 4096.0;    // raw per user unit of the values
  std::string units;         // what a unit is ("NDVI"); empty: not named
  double min_amplitude = 0.05, min_share = 0.35;
};

// The header of seasons.bsq (kSeasonsFile) for a run with the (completed)
// parameters `p`: kSeasonBandCount Float32 planes named by kSeasonBandNames,
// "data ignore value = nan" (where a pixel has no model, and the bands of a
// season it does not have), a description of what the bands hold and, when
// the facts are known, the scaling as "tsrecon factor" and "tsrecon units".
HeaderPlan seasons_header_plan(const RunParameters& p, const SeasonsFacts& facts);

// A GDAL virtual raster that presents order.dat (signed bytes, which ENVI can
// only call unsigned) as 16-bit signed orders, so that a fit that gave up
// reads as -1 instead of 255. `georef` supplies the geotransform and the
// coordinate system when it holds a usable "map info".
std::string order_vrt(const RunParameters& p, const EnviGeoref& georef);

// The geotransform of an ENVI "map info" value (origin x, pixel width,
// rotation, origin y, rotation, -pixel height, as GDAL orders it); false when
// the value cannot be read. The reference pixel of "map info" is 1-based.
bool geotransform_of(const std::string& map_info, double (&gt)[6]);

}  // namespace tsr::tools
