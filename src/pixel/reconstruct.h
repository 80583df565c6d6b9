// Reconstruction of one pixel's time series: screening, gap filling, envelope
// filtering, the preliminary and the final fit, and the reduction of the fit
// to what the products hold.
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"
#include "lsq/workspace.h"

namespace tsr {

// Working storage of one worker. Create once (on the heap) and reuse for
// every pixel; `preliminary` carries over from one call to the next.
struct PixelWorkspace {
  LsqWorkspace lsq;
  // Further fields are owned by the pixel routines.
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
