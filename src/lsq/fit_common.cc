#include "lsq/fit_common.h"

#include "lsq/solver.h"

namespace tsr {

double information_criterion(int32_t used, double rss, int32_t pairs) {
  const double rn = static_cast<double>(used);
  const double scaled = ((kPiSingle * 2.0) * rss) / rn;
  double c = std::log(scaled);
  c = c * rn;
  c = c + rn;
  c = c + static_cast<double>(4 * pairs + 6);
  return c;
}

bool solve_and_accept(const FitShape& shape, const FunctionMatrix& x, const RetainedModel& model, double* par,
                      double* yf) {
  const int32_t rows = shape.rows;
  // Solve the retained triangular system through its inverse.
  double* block = model.block;
  const double* rhs = model.rhs;
  invert_in_place(block, model.params, kSolverDim);
  for (int32_t pairs = 0; pairs <= model.pairs; ++pairs) {
    const int32_t q = pairs == 0 ? 1 : 2 * model.subset[pairs] + 1;
    for (int32_t p = 1; p <= model.params; ++p) {
      par[q - 1] = solver_cell(block, 2 * pairs + 1, p) * rhs[p - 1] + par[q - 1];
    }
    for (int32_t p = 1; p <= model.params; ++p) {
      par[q] = solver_cell(block, 2 * pairs + 2, p) * rhs[p - 1] + par[q];
    }
  }

  // The fitted curve at every time step, used or not.
  for (int32_t i = 1; i <= rows; ++i) {
    for (int32_t k = 1; k <= shape.model_columns; ++k) yf[i - 1] = par[k - 1] * x.at(i, k) + yf[i - 1];
  }

  // Extremes of the curve; a not-a-number value is carried into the
  // extreme so that the curve fails the range test.
  double lo = kAcceptLowSeed;
  double hi = kAcceptHighSeed;
  for (int32_t i = 1; i <= rows; ++i) {
    const double v = yf[i - 1];
    if (v < lo || std::isnan(v)) lo = v;
    if (v > hi || std::isnan(v)) hi = v;
  }
  return lo >= kAcceptFloor && hi <= kAcceptCeiling;
}

bool lower_cap_or_fail(int32_t params, int32_t rows, double* par, double* yf, int32_t& cap) {
  if (cap > 1) {
    cap = cap - 1;
    return true;
  }
  for (int32_t j = 1; j <= params; ++j) par[j - 1] = 0.0;
  for (int32_t i = 1; i <= rows; ++i) yf[i - 1] = -1.0;
  cap = -1;
  return false;
}

}  // namespace tsr
