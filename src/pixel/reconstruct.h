// Reconstruction of one pixel's time series: raw screening, the preliminary
// pass (a fit whose residuals screen out clouds), the final pass (gap filling,
// envelope filtering and the selection fit) and the reduction of the fit to
// what the products hold.
#pragma once

#include <cstdint>
#include <vector>

#include "lsq/function_matrix.h"
#include "lsq/limits.h"
#include "lsq/select_fit_fast.h"
#include "lsq/workspace.h"
#include "pixel/envelope.h"
#include "pixel/pixel_settings.h"

namespace tsr {

// One pixel's inputs, entries 0..nb-1 (entry i-1 is band i), with room for
// `capacity` time steps (kMaxBands unless told).
struct PixelInput {
  explicit PixelInput(int32_t capacity = kMaxBands);
  int32_t capacity() const { return static_cast<int32_t>(series.size()); }

  std::vector<int16_t> series;   // raw values (data.bsq)
  std::vector<int16_t> weights;  // 1 each, or the mask values under weights_are_mask
};

// One pixel's results, with room for `capacity` time steps. A call writes
// entries 0..nb-1 of fitted and used, entries 0..np-1 of params, every scalar
// and, only when keep_preliminary is set, entries 0..nb-1 of preliminary;
// everything else keeps what it held.
struct PixelResult {
  explicit PixelResult(int32_t capacity = kMaxBands);
  int32_t capacity() const { return static_cast<int32_t>(fitted.size()); }

  // The final fit at every band; 0.0 everywhere when the pixel has no model.
  std::vector<double> fitted;
  // The preliminary fit at every band. Under weights_are_mask no preliminary
  // fit runs, and this is the series the workspace holds from the last pixel
  // it reconstructed without a mask (zeros on a fresh workspace).
  std::vector<double> preliminary;
  // Constant, trend, then amplitude and phase per harmonic; zeros when the
  // pixel has no model.
  double params[kMatrixColumns] = {};
  // True where the band entered the final fit.
  std::vector<bool> used;
  double criterion = 0.0;  // the final fit's information criterion
  int32_t order = 0;       // the final fit's harmonic cap: -1 when it gave up
  int32_t minimum = 0;     // extremes of the final fit in raw units; 0 without a model
  int32_t maximum = 0;
};

// Working storage of one worker for series of up to `capacity` time steps
// (kMaxBands unless told). Create once and reuse for every pixel: nothing is
// allocated per pixel; only `preliminary` carries over from one call to the
// next. About 1 MB at 200 time steps and 10.6 MB at 1000, of which the
// literal engine's reflection matrix (0.3 MB and 8 MB) is backed by memory
// only once the literal selection fit runs: 0.7 MB and 2.9 MB in use with
// the fast engine.
struct PixelWorkspace {
  explicit PixelWorkspace(int32_t capacity = kMaxBands);
  int32_t capacity() const { return static_cast<int32_t>(scaled.size()); }

  LsqWorkspace lsq;
  FastFitWorkspace fast_fit;          // the fast selection fit's storage
  // Engine of the final fit. Both give the same bits; the literal one is the
  // slow yardstick the fast one is verified against.
  LsqEngine engine = LsqEngine::kFast;
  EnvelopeScratch envelope;           // padded copy for the envelope filters
  std::vector<double> scaled;         // raw value / kRawScale; fixed after the raw screening
  std::vector<double> work;           // series that gap filling and the filters change
  std::vector<double> fitted;         // fitted series written by each fit
  double coef[kMatrixColumns] = {};   // coefficients written by each fit (column order)
  std::vector<double> preliminary;    // preliminary fit; kept from one call to the next
  std::vector<int16_t> weights;       // input weights, 0 where the raw screening marked a band
  std::vector<int32_t> status;        // <= 0 missing, 1 valid, 2 filled by gap filling
  std::vector<uint8_t> use_in_fit;    // 0xFF: sample enters the fits, 0: it does not
  int32_t max_gap = 0;                // longest gap seen during the current call
  int32_t model_order = 0;            // order cap handed to the final fit, and its result
  double criterion = 0.0;             // criterion handed back by the final fit
};

// Memory of one worker's storage for series of up to `capacity` time steps:
// a PixelInput, a PixelResult and a PixelWorkspace of that capacity, the
// objects and what they allocate (allocator overhead aside). The literal
// engine's reflection matrix is counted apart: reserved, but backed by memory
// only once the literal selection fit runs. UINT64_MAX where a count does not
// fit 64 bits.
struct PixelStorageBytes {
  uint64_t in_use = 0;       // everything else, written when the storage is built
  uint64_t reflection = 0;   // the literal reflection matrix
};
PixelStorageBytes pixel_storage_bytes(int32_t capacity);

// The longest series reconstruct_pixel can take with this storage: the
// smallest capacity of the matrix, the input, the result and the workspace.
int32_t pixel_capacity(const FunctionMatrix& x, const PixelInput& input, const PixelResult& result,
                       const PixelWorkspace& ws);

// Reconstructs one pixel and returns true; or returns false, and changes
// nothing, when the settings do not fit the storage: settings.nb outside
// 1..pixel_capacity(x, input, result, ws), settings.np outside
// 0..kMatrixColumns, settings.nfunc outside 0..kMaxHarmonics or an excluded
// band outside 1..nb.
bool reconstruct_pixel(const PixelSettings& settings, const FunctionMatrix& x, const PixelInput& input,
                       PixelResult& result, PixelWorkspace& ws);

}  // namespace tsr
