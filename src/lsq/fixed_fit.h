// Plain least-squares fit to the first 2*nh+2 basis functions.
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"
#include "lsq/workspace.h"

namespace tsr {

// y, use, yf: nb entries (0-based: y[i-1] is time step i). A sample takes part
// when bit 0 of use[i-1] is set. par: 2*nh+2 entries written.
void fit_fixed_order(int32_t nb, int32_t nh, const double* y, const uint8_t* use,
                     const FunctionMatrix& x, double* par, double* yf, LsqWorkspace& ws);

}  // namespace tsr
