// Final fit of a series: the subset of harmonics with the smallest information
// criterion, with the harmonic cap lowered until the fitted curve lies in [0, 1].
#pragma once

#include <cstdint>

#include "lsq/constants.h"
#include "lsq/function_matrix.h"
#include "lsq/workspace.h"

namespace tsr {

// y, use, yf: n entries (0-based). par: room for at least 2*nfunc+4 entries.
// m: in, the cap on the harmonic index; out, the cap of the accepted attempt or -1.
// crit: out, the criterion of the retained model.
// A cap above kMaxHarmonicCap cannot be evaluated; such an attempt is
// rejected and the cap lowered like any rejected attempt.
void select_and_fit(int32_t n, int32_t nfunc, const double* y, const uint8_t* use,
                    const FunctionMatrix& x, double* par, double* yf, int32_t& m, double& crit,
                    LsqWorkspace& ws);

// The end of one attempt, shared by both engines: solves the retained
// triangular block (leading dimension 50, order pstar, inverted in place) for
// the parameters of the retained harmonics (par and yf must hold zeros),
// evaluates the fitted curve at every time step over the first
// model_columns basis functions, and tells whether it lies within [0, 1]
// (a not-a-number value fails).
bool solve_and_accept(int32_t rows, int32_t model_columns, const FunctionMatrix& x, double* block,
                      const double* rhs, int32_t pstar, int32_t retained_pairs, const int32_t* best_subset,
                      double* par, double* yf);

// After a rejected attempt, shared by both engines: lowers the cap and
// returns true for another attempt, or, at cap 1, writes the failure values
// (par(1..np) = 0.0, yf = -1.0, m = -1) and returns false.
bool lower_cap_or_fail(int32_t np, int32_t rows, double* par, double* yf, int32_t& m);

// One Householder reflection of a (200-row column stride, 1-based l and k):
// zeroes column k below row l over rows 1..m, transforming all nc columns.
// Leaves a unchanged when k or l lie outside the matrix in use, when the
// column below l has no length, or when m or nc exceed the workspace
// (kMaxBands rows, kWorkColumns columns).
void householder_step(double* a, int32_t m, int32_t nc, int32_t l, int32_t k, LsqWorkspace& ws);

// Information criterion of a model with `pairs` harmonic pairs fitted to n
// samples with residual sum of squares rss:
// n * ln(2 * pi * rss / n) + n + 4 * pairs + 6, with the 4-byte pi.
double information_criterion(int32_t n, double rss, int32_t pairs);

}  // namespace tsr
