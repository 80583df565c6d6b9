// The run parameters: everything a run needs that is not in the image itself,
// read once from cntl.dat and fixed afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/control_syntax.h"
#include "domain/settings_members.h"
#include "lsq/constants.h"
#include "lsq/limits.h"
#include "pixel/pixel_settings.h"
#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr {

struct RunParameters {
  int32_t NB = 0;      // bands (time steps)
  int32_t NL = 0;      // image lines
  int32_t NS = 0;      // samples per line
  // The members of the groups with their defaults, as
  // domain/settings_members.h lists them (NFUNC, TCLD, NPOINT, ...).
#define TSR_RUN_PARAMETER(type, NAME, name, GROUP, value) type NAME = value;
  TSRECON_CONTROL_MEMBERS(TSR_RUN_PARAMETER, TSR_RUN_PARAMETER)
#undef TSR_RUN_PARAMETER
  // Derived.
  int32_t NP = kMaxParams;
  double upper_threshold = 0.0;
  double lower_threshold = 0.0;
  int16_t excluded_bands[kMaxExcludedBands] = {};
  int32_t excluded_count = 0;

  // Every member, the excluded-band list in full; a member added later takes
  // part without further ado.
  bool operator==(const RunParameters&) const = default;
};

// Reads the control file text into `p`: the defaults first, then the band
// count, the line and sample counts, the groups DATA, CONTRL and NPT and, when
// 1 <= NDEF <= NB, NDEF band-number records. Console lines (from
// "READ CNTL.DAT" to "CLOSE CNTL.DAT") go to `sink`. A read that the text does
// not allow returns its run-time error with its detail and no file
// (control_syntax.h); the lines written before it stand.
Status read_control_text(std::string_view text, RunParameters& p, const ConsoleSink& sink);

// The control file's name and unit.
inline constexpr const char* kControlFile = "cntl.dat";
inline constexpr int kControlUnit = 15;

// Opens cntl.dat of the Env's working directory as unit 15 (creating it
// empty when missing) and reads it as read_control_text does, echoing to
// `sink`. A failed open or read is its run-time error on unit 15.
Status read_run_parameters(Env& env, RunParameters& p, const ConsoleSink& sink);

// Reads an existing control file `name` of the Env's working directory
// quietly (nothing is created or echoed) and derives the run parameters, as
// the companions and the library need them. Errors: 29 for a missing file,
// the reader's run-time errors on unit 15, the range refusals.
Status load_run_parameters(Env& env, std::string_view name, RunParameters& p);

// The first member outside its allowed range, in the order checked: NB
// (3..max_bands: the control file's 200 unless told, the library takes
// longer series), NDEF (0..NB), NFUNC (0..6), NPOINT (1..), NWIN (0..).
struct RangeViolation {
  std::string_view member;  // "NB", "NDEF", ...
  int32_t value;
  int64_t low;
  int64_t high;
};
std::optional<RangeViolation> find_range_violation(const RunParameters& p, int32_t max_bands = kMaxBands);

// "NFUNC = 7 in cntl.dat is outside the allowed range 0..6".
std::string range_message(const RangeViolation& v);

// Completes the record after reading: NDAT becomes NB; the ranges are checked
// (find_range_violation, up to max_bands bands); NP and the screening
// thresholds are derived. A range violation is refused with range_message
// (the record is then left incomplete).
Status derive_run_parameters(RunParameters& p, int32_t max_bands = kMaxBands);

// What the reconstruction of every pixel of the run needs, from a completed
// record: the sizes, the envelope filter (FITMD 0 fills dips and FITMD 1
// clips peaks when MMSW > 0; otherwise none), INTP > 0, MASK = 1, FITSW > 0,
// the screening thresholds and the excluded bands.
PixelSettings pixel_settings(const RunParameters& p);

}  // namespace tsr
