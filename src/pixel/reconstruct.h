// Reconstruction of one pixel's time series: screening, gap filling, envelope
// filtering, the preliminary and the final fit, and the reduction of the fit
// to what the products hold.
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"
#include "lsq/select_fit_fast.h"
#include "lsq/workspace.h"
#include "pixel/envelope.h"

namespace tsr {

// Working storage of one worker. Create once (on the heap) and reuse for
// every pixel; `preliminary` carries over from one call to the next.
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
  int32_t status[kMaxBands] = {};     // <= 0 missing, 1 valid, 2 filled by gap filling
  uint8_t use_in_fit[kMaxBands] = {}; // 0xFF: sample enters the fits, 0: it does not
  int32_t max_gap = 0;                // longest gap seen during the current call
  int32_t model_order = 0;            // order cap handed to the final fit, and its result
  double criterion = 0.0;             // criterion handed back by the final fit
};

// Arguments in the driver's order. Arrays are 0-based (entry i-1 is band i).
// pixel_weights is rewritten: 1 for each band that took part in the final fit.
void reconstruct_pixel(int32_t nb, int32_t nfunc, const int16_t* pixel_series, double* pixel_fitted,
                       double* pixel_interpolated, int16_t* pixel_weights, double* pixel_params,
                       const FunctionMatrix& x, int32_t np, int32_t nwin, int32_t& pixel_max,
                       int32_t& pixel_min, int32_t excluded_count, const int16_t* excluded_bands,
                       double& pixel_criterion, int32_t& pixel_order, int32_t mmsw, int32_t intp,
                       double lower_threshold, double upper_threshold, int8_t fitsw, int32_t mask,
                       int8_t fitmd, PixelWorkspace& ws);

}  // namespace tsr
