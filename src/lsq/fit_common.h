// What the two engines of the selection fit -- the literal one
// (select_fit.cc) and the fast one (select_fit_fast.cc) -- have in common,
// written once: the fit's shape, the reflector, the scoring of the nested
// models of a subset, the start of an attempt, the solve and acceptance test
// and the lowering of the cap. Sharing the code is what keeps the engines'
// sums the same, in the same order.
//
// Internal to lsq: code outside this folder uses select_fit.h and
// select_fit_fast.h.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lsq/constants.h"
#include "lsq/function_matrix.h"
#include "lsq/limits.h"

namespace tsr {

// Element (i, j), 1-based, of a column-major block with leading dimension
// kSolverDim (the retained triangular block).
inline double& solver_cell(double* a, int32_t i, int32_t j) { return a[(j - 1) * kSolverDim + (i - 1)]; }

// Sizes of one selection fit of a series of nb time steps with nfunc
// harmonics in the run's model, on storage that holds `capacity` time steps
// (the smallest capacity of the function matrix and the workspace).
struct FitShape {
  int32_t rows;           // time steps evaluated: nb, bounded by the capacity
  int32_t params;         // parameters of the run's model: 2 * nfunc + 2
  int32_t model_columns;  // columns of the function matrix the fitted curve sums over
};

inline FitShape fit_shape(int32_t nb, int32_t nfunc, int32_t capacity) {
  FitShape s;
  s.rows = std::min<int32_t>(nb, capacity);
  s.params = 2 * nfunc + 2;
  s.model_columns = std::min<int32_t>(s.params, kMatrixColumns);
  return s;
}

// The Householder reflection with pivot row l that zeroes col below it, over
// rows l..rows (col is 0-based: col[i - 1] is row i). Returns false when the
// column below the pivot is shorter than kMinColumnNorm: the reflection would
// change nothing. Otherwise fills u[l - 1 .. rows - 1] with the reflector --
// the column, with alpha added to the pivot, where alpha is the column's
// length carrying the pivot's sign bit (a -0.0 pivot counts as negative) --
// and sets beta = 1 / (pivot * alpha + sum of squares), so that the
// reflection is I - beta * u * u'. Entries of u outside l..rows are left as
// they are.
inline bool set_up_reflector(const double* col, int32_t l, int32_t rows, double* u, double& beta) {
  double sum_squares = 0.0;
#pragma GCC unroll 4
  for (int32_t i = l; i <= rows; ++i) sum_squares = col[i - 1] * col[i - 1] + sum_squares;
  const double sigma = std::sqrt(sum_squares);
  const double pivot = col[l - 1];
  if (sigma < kMinColumnNorm) return false;
  const double alpha = std::signbit(pivot) ? -std::fabs(sigma) : std::fabs(sigma);
  beta = 1.0 / (pivot * alpha + sum_squares);
  if (rows >= l) std::memcpy(u + (l - 1), col + (l - 1), static_cast<size_t>(rows - l + 1) * sizeof(double));
  u[l - 1] = alpha + u[l - 1];
  return true;
}

// Information criterion of a model with `pairs` harmonic pairs fitted to
// `used` samples with residual sum of squares rss:
// used * ln(2 * pi * rss / used) + used + 4 * pairs + 6, with kPiSingle.
double information_criterion(int32_t used, double rss, int32_t pairs);

// Scores the nested models of one triangularised subset of `length`
// harmonics, the whole subset first and then one harmonic pair fewer at a
// time, against the best criterion so far (crit). last is the series
// component the whole model leaves (its square is that model's residual sum);
// dropped(pairs, a, b) gives the two series components that dropping the
// pair after the first `pairs` adds. A model is scored only when its residual
// variance is above kMinVariance, and retained only when its criterion is
// strictly below crit: crit is then lowered and retain(pairs) called.
template <typename Dropped, typename Retain>
inline void score_nested_models(int32_t length, int32_t used, double last, Dropped dropped, double& crit,
                                Retain retain) {
  const double rn = static_cast<double>(used);
  double rss = last * last;
  for (int32_t pairs = length; pairs >= 1; --pairs) {
    if (pairs < length) {
      double a = 0.0;
      double b = 0.0;
      dropped(pairs, a, b);
      rss = (a * a + rss) + b * b;
    }
    const double v = rss / rn;
    if (!(v > kMinVariance)) continue;
    const double c = information_criterion(used, rss, pairs);
    if (c < crit) {
      crit = c;
      retain(pairs);
    }
  }
}

// The start of every attempt: par(1..params + 2) and yf(1..rows) cleared,
// the criterion at kNoCriterion.
inline void start_attempt(const FitShape& shape, double* par, double* yf, double& crit) {
  for (int32_t j = 1; j <= shape.params + 2; ++j) par[j - 1] = 0.0;
  for (int32_t i = 1; i <= shape.rows; ++i) yf[i - 1] = 0.0;
  crit = kNoCriterion;
}

// The model an attempt retained: its triangular block (leading dimension
// kSolverDim, order params; inverted in place by the solve) and transformed
// right-hand side, its harmonic pairs and the subset they came from
// (subset[1..pairs]).
struct RetainedModel {
  double* block = nullptr;
  const double* rhs = nullptr;
  int32_t params = 0;
  int32_t pairs = 0;
  const int32_t* subset = nullptr;
};

// The end of one attempt: solves the retained model for the parameters of
// its harmonics (par and yf must hold zeros), evaluates the fitted curve at
// each of shape.rows time steps over the first shape.model_columns basis
// functions, and tells whether it lies within [kAcceptFloor, kAcceptCeiling]
// (a not-a-number value fails).
bool solve_and_accept(const FitShape& shape, const FunctionMatrix& x, const RetainedModel& model, double* par,
                      double* yf);

// After a rejected attempt: lowers the cap and returns true for another
// attempt, or, at cap 1, writes the failure values (par(1..params) = 0.0,
// yf = -1.0, cap = -1) and returns false.
bool lower_cap_or_fail(int32_t params, int32_t rows, double* par, double* yf, int32_t& cap);

}  // namespace tsr
