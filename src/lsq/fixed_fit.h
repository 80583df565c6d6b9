// Plain least-squares fit to the first 2*nh+2 basis functions.
#pragma once

#include <cstdint>

#include "lsq/fit_series.h"
#include "lsq/workspace.h"

namespace tsr {

// Fits the first 2*nh+2 basis functions (at most kSolverDim) to the used
// samples of the first min(series.nb, series.x->rows()) time steps. par:
// 2*nh+2 entries written; yf: the model at each of those time steps.
void fit_fixed_order(int32_t nh, const FitSeries& series, double* par, double* yf, LsqWorkspace* ws);

}  // namespace tsr
