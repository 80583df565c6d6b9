// The seasons of every pixel of a finished run as maps: seasons.bsq (one
// Float32 plane per band of the seasons module, NaN where a pixel has no
// model) and its header seasons.hdr, made from p.bsq and order.dat with the
// dates and the scaling of data.hdr.
//
// The parameters are read as the run stored them (4-byte reals in the byte
// order of FORT_CONVERT50) a block of lines at a time, so memory stays
// bounded whatever the size of the cube; the pixels of a block are shared
// among worker threads, each with its own workspace over the one plan. A
// pixel has a model by the rule on the stored products (stored_has_model).
// The maps are written to a temporary file that takes the name seasons.bsq
// only once every line is in it, so a refused or interrupted run leaves no
// half-made maps behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr::tools {

// What to make. Zero or negative thresholds and factors are the caller's to
// refuse; the computation's own checks refuse what is out of its range.
struct SeasonMapsOptions {
  double min_amplitude = 0.05;  // smallest rise of a season, in the user's units
  double min_share = 0.35;      // smallest share of the largest season's rise
  // Raw per user unit; 0: "tsrecon factor" of data.hdr, else the program's
  // scaled units (raw / 4096).
  double factor = 0.0;
  // Worker threads; 0: TSRECON_THREADS (else OMP_NUM_THREADS, else every
  // core), as tsrecon takes them.
  int threads = 0;
  // Pixels per block of whole lines (at least one line): the memory in use
  // is about 200 bytes per pixel of a block.
  int64_t block_pixels = int64_t{1} << 16;
};

// What was made.
struct SeasonMapsReport {
  int32_t lines = 0, samples = 0;
  double factor = 0.0;       // the scaling used
  std::string units;         // what a unit is, as the header says it; empty: not named
  std::string scaling_from;  // "--factor", "data.hdr", or empty: the scaled units
  bool dated = false;        // the dates of data.hdr; false: steps
  std::string first_date, last_date;
  std::string middle;        // the middle of the record, "band 12 (2014-03-06)"
  bool georeferenced = false;
  int threads = 0;
  int64_t no_model = 0;
  int64_t with_seasons[3] = {0, 0, 0};  // pixels with 0, 1 and 2 seasons
  std::vector<std::string> warnings;    // one sentence each
};

// Makes seasons.bsq and seasons.hdr in the Env's working directory.
// Refusals (one sentence, no program name): cntl.dat unreadable or refused,
// data.hdr present but no ENVI header, p.bsq or order.dat missing, shorter
// than cntl.dat gives them or unreadable, a FORT_CONVERT value tsrecon
// refuses, dates or options the computation refuses, too little disk, a
// failed write. An interrupt between blocks returns its status. Only
// seasons.bsq, seasons.hdr and the temporary file are written.
Status make_season_maps(Env& env, const SeasonMapsOptions& options, SeasonMapsReport* report);

// The lines that tell a person what was made.
std::vector<std::string> season_maps_lines(const SeasonMapsReport& report);

}  // namespace tsr::tools
