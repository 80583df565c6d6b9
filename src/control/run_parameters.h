// The run parameters: everything a run needs that is not in the image itself,
// read once from cntl.dat and fixed afterwards.
#pragma once

#include <cstdint>

namespace tsr {

constexpr int kMaxExcludedBands = 200;

struct RunParameters {
  int32_t NB = 0;      // bands (time steps)
  int32_t NL = 0;      // image lines
  int32_t NS = 0;      // samples per line
  int32_t NDAT = 0;    // accepted; becomes NB
  int32_t NFUNC = 6;   // harmonic pairs of the model
  int32_t NDEF = 0;    // band-number records that follow the groups
  int32_t ISPOT = 0;   // accepted; no effect
  int32_t NWIN = 3;    // half width of the envelope filter window
  int32_t INTP = 0;    // 1: write i.bsq
  int8_t SELECT = 1;   // accepted; no effect
  int32_t MMSW = 1;    // envelope filter switch
  double TCLD = static_cast<double>(0.15f);  // screening threshold magnitude
  int8_t FITSW = 1;    // only status-1 samples enter the final fit
  int32_t MASK = 0;    // 1: mask.bsq gives the sample weights
  int8_t FITMD = 0;    // threshold mode and envelope filter kind
  int32_t NPOINT = 46; // time steps per cycle of the first harmonic
  // Derived.
  int32_t NP = 14;
  double upper_threshold = 0.0;
  double lower_threshold = 0.0;
  int16_t excluded_bands[kMaxExcludedBands] = {};
  int32_t excluded_count = 0;
};

}  // namespace tsr
