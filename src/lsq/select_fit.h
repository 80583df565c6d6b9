// Final fit of a series: the subset of harmonics with the smallest information
// criterion, with the harmonic cap lowered until the fitted curve lies in [0, 1].
#pragma once

#include <cstdint>

#include "lsq/constants.h"
#include "lsq/function_matrix.h"
#include "lsq/workspace.h"

namespace tsr {

// y, use, yf: nb entries (0-based). A sample takes part when bit 0 of its use
// flag is set. par: room for at least 2*nfunc+4 entries.
// cap: in, the cap on the harmonic index; out, the cap of the accepted
// attempt or -1 when every attempt was rejected.
// crit: out, the criterion of the retained model (kNoCriterion when none).
// A cap above kMaxHarmonicCap cannot be evaluated; such an attempt is
// rejected and the cap lowered like any rejected attempt.
void select_and_fit(int32_t nb, int32_t nfunc, const double* y, const uint8_t* use,
                    const FunctionMatrix& x, double* par, double* yf, int32_t& cap, double& crit,
                    LsqWorkspace& ws);

// One Householder reflection of a (kMaxBands-row column stride, 1-based l
// and k): zeroes column k below row l over rows 1..rows, transforming all nc
// columns. Leaves a unchanged when k or l lie outside the matrix in use, when
// the column below l has no length, or when rows or nc exceed the workspace
// (kMaxBands rows, kWorkColumns columns).
void householder_step(double* a, int32_t rows, int32_t nc, int32_t l, int32_t k, LsqWorkspace& ws);

}  // namespace tsr
