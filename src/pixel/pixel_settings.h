// What a run fixes for the reconstruction of every one of its pixels, built
// once by the caller (for a run, control's pixel_settings(RunParameters)).
#pragma once

#include <cstdint>
#include <vector>

#include "lsq/limits.h"

namespace tsr {

// The envelope filter applied to the working series before each fit.
enum class EnvelopeFilter : uint8_t {
  kNone,       // no filter
  kFillDips,   // fill_dips: dips up to nwin bands wide are filled
  kClipPeaks,  // clip_peaks: peaks up to nwin bands wide are removed
};

struct PixelSettings {
  int32_t nb = 0;     // time steps (bands) of the series, 1..the capacity of the pixel's storage
  int32_t nfunc = 0;  // harmonic pairs of the model, 0..kMaxHarmonics
  int32_t np = 0;     // parameters stored per pixel (2 * nfunc + 2), at most kMatrixColumns
  int32_t nwin = 0;   // half width of the envelope filter window
  EnvelopeFilter filter = EnvelopeFilter::kNone;
  // The preliminary fit is handed back in PixelResult::preliminary.
  bool keep_preliminary = false;
  // The input weights are the mask: they take the place of the residual
  // screening (there is no preliminary fit) and become the samples' statuses.
  bool weights_are_mask = false;
  // Only samples of status 1 (valid, not filled in by gap filling) enter the
  // final fit. Otherwise the samples the residual screening kept enter it
  // or, under a mask, every band that is not excluded, with its gap-filled
  // value where the mask marked it missing.
  bool fit_valid_only = false;
  // A sample whose residual from the preliminary fit lies within
  // [lower_threshold, upper_threshold] is kept; any other is screened out.
  double lower_threshold = 0.0;
  double upper_threshold = 0.0;
  // Bands (1-based, each in 1..nb) that never enter a fit, as many as listed
  // (a band may be listed more than once), for a series of any length.
  std::vector<int32_t> excluded_bands;
};

}  // namespace tsr
