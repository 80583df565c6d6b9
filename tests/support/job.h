// Building jobs for tests: control files and synthetic cubes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tsr::testing {

// A control file: the cube's sizes, the members assigned in each group and
// the band-number records after them.
struct ControlFile {
  int32_t nb = 23, nl = 3, ns = 5;
  std::string data_group;    // e.g. "NFUNC=4"
  std::string contrl_group;  // e.g. "INTP=1"
  int32_t npoint = 23;
  std::string band_records;  // records after the groups, e.g. "5\n17\n"

  // "NB\nNL NS\n&DATA ... /\n&CONTRL ... /\n&NPT NPOINT=... /\n" + band records.
  std::string text() const;
};

// Seasonal NDVI-like series (raw 1600 per unit) with cloud dips, spikes above
// the raw ceiling, runs of no-data (32767), bare and empty pixels. Values are
// band-sequential (as data.bsq), 0..32767.
std::vector<int16_t> synthetic_cube(int32_t nb, int32_t nl, int32_t ns, int32_t npoint, uint64_t seed);

// Weights 0..255 for mask.bsq: mostly 1, some 0, a few larger values.
std::string synthetic_mask(size_t count, uint64_t seed);

// The bytes of data.bsq for these values (little-endian unless big_endian).
std::string cube_file(const std::vector<int16_t>& values, bool big_endian = false);

}  // namespace tsr::testing
