// Final fit of a series: the subset of harmonics with the smallest information
// criterion, with the harmonic cap lowered until the fitted curve lies in [0, 1].
#pragma once

#include <cstdint>

#include "lsq/constants.h"
#include "lsq/fit_series.h"
#include "lsq/function_matrix.h"
#include "lsq/workspace.h"

namespace tsr {

// What a selection fit is asked to do.
struct SelectionFitOptions {
  // Harmonic pairs of the run's model: its 2 * nfunc + 2 parameters.
  int32_t nfunc = 0;
  // Highest harmonic index of the first attempt; each rejected attempt lowers
  // it by one.
  int32_t cap = 0;
};

// What a selection fit found.
struct SelectionFitSummary {
  // The cap of the accepted attempt, or -1 when every attempt was rejected.
  int32_t cap = 0;
  // The criterion of the retained model; kNoCriterion when none was retained.
  double criterion = kNoCriterion;
};

// The literal engine, the yardstick of the fast one (select_fit_fast.h).
// Evaluates the first min(series.nb, series.x->rows(), ws->capacity()) time
// steps: series.y, series.use and yf hold at least that many entries. par
// has room for 2 * max(nfunc, cap) + 4 entries; yf and par are written. The
// retained model of the last attempt is left in ws (retained_* and
// best_subset). A cap above kMaxHarmonicCap cannot be evaluated; such an
// attempt is rejected and the cap lowered like any rejected attempt.
void select_and_fit(const SelectionFitOptions& options, const FitSeries& series, double* par, double* yf,
                    SelectionFitSummary* summary, LsqWorkspace* ws);

// One Householder reflection of a (column stride ws.capacity(), 1-based l
// and k): zeroes column k below row l over rows 1..rows, transforming all nc
// columns. Leaves a unchanged when k or l lie outside the matrix in use, when
// the column below l has no length, or when rows or nc exceed the workspace
// (ws.capacity() rows, kWorkColumns columns).
void householder_step(double* a, int32_t rows, int32_t nc, int32_t l, int32_t k, LsqWorkspace& ws);

}  // namespace tsr
