// Reconstruction of one pixel's time series: raw screening, the preliminary
// pass (a fit whose residuals screen out clouds), the final pass (gap filling,
// envelope filtering and the selection fit) and the reduction of the fit to
// what the products hold.
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"
#include "lsq/limits.h"
#include "lsq/select_fit_fast.h"
#include "lsq/workspace.h"
#include "pixel/envelope.h"
#include "pixel/pixel_settings.h"

namespace tsr {

// One pixel's inputs, entries 0..nb-1 (entry i-1 is band i).
struct PixelInput {
  int16_t series[kMaxBands] = {};   // raw values (data.bsq)
  int16_t weights[kMaxBands] = {};  // 1 each, or the mask values under weights_are_mask
};

// One pixel's results. A call writes entries 0..nb-1 of fitted and used,
// entries 0..np-1 of params, every scalar and, only when keep_preliminary is
// set, entries 0..nb-1 of preliminary; everything else keeps what it held.
struct PixelResult {
  // The final fit at every band; 0.0 everywhere when the pixel has no model.
  double fitted[kMaxBands] = {};
  // The preliminary fit at every band. Under weights_are_mask no preliminary
  // fit runs, and this is the series the workspace holds from the last pixel
  // it reconstructed without a mask (zeros on a fresh workspace).
  double preliminary[kMaxBands] = {};
  // Constant, trend, then amplitude and phase per harmonic; zeros when the
  // pixel has no model.
  double params[kMatrixColumns] = {};
  // True where the band entered the final fit.
  bool used[kMaxBands] = {};
  double criterion = 0.0;  // the final fit's information criterion
  int32_t order = 0;       // the final fit's harmonic cap: -1 when it gave up
  int32_t minimum = 0;     // extremes of the final fit in raw units; 0 without a model
  int32_t maximum = 0;
};

// Working storage of one worker. Create once (on the heap) and reuse for
// every pixel; only `preliminary` carries over from one call to the next.
struct PixelWorkspace {
  LsqWorkspace lsq;
  FastFitWorkspace fast_fit;          // the fast selection fit's storage
  // Engine of the final fit. Both give the same bits; the literal one is the
  // slow yardstick the fast one is verified against.
  LsqEngine engine = LsqEngine::kFast;
  EnvelopeScratch envelope;           // padded copy for the envelope filters
  double scaled[kMaxBands] = {};      // raw value / kRawScale; fixed after the raw screening
  double work[kMaxBands] = {};        // series that gap filling and the filters change
  double fitted[kMaxBands] = {};      // fitted series written by each fit
  double coef[kMatrixColumns] = {};   // coefficients written by each fit (column order)
  double preliminary[kMaxBands] = {}; // preliminary fit; kept from one call to the next
  int16_t weights[kMaxBands] = {};    // input weights, 0 where the raw screening marked a band
  int32_t status[kMaxBands] = {};     // <= 0 missing, 1 valid, 2 filled by gap filling
  uint8_t use_in_fit[kMaxBands] = {}; // 0xFF: sample enters the fits, 0: it does not
  int32_t max_gap = 0;                // longest gap seen during the current call
  int32_t model_order = 0;            // order cap handed to the final fit, and its result
  double criterion = 0.0;             // criterion handed back by the final fit
};

// Reconstructs one pixel. settings.nb and settings.np must lie within the
// capacities (kMaxBands, kMatrixColumns) and every excluded band within
// 1..nb.
void reconstruct_pixel(const PixelSettings& settings, const FunctionMatrix& x, const PixelInput& input,
                       PixelResult& result, PixelWorkspace& ws);

}  // namespace tsr
