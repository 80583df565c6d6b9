// Final fit of a series: the subset of harmonics with the smallest information
// criterion, with the harmonic cap lowered until the fitted curve lies in [0, 1].
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"
#include "lsq/workspace.h"

namespace tsr {

// y, use, yf: n entries (0-based). par: room for at least 2*nfunc+4 entries.
// m: in, the cap on the harmonic index; out, the cap of the accepted attempt or -1.
// crit: out, the criterion of the retained model.
void select_and_fit(int32_t n, int32_t nfunc, const double* y, const uint8_t* use,
                    const FunctionMatrix& x, double* par, double* yf, int32_t& m, double& crit,
                    LsqWorkspace& ws);

// One Householder reflection of a (200-row column stride, 1-based l and k):
// zeroes column k below row l over rows 1..m, transforming all nc columns.
void householder_step(double* a, int32_t m, int32_t nc, int32_t l, int32_t k, LsqWorkspace& ws);

}  // namespace tsr
