#include "lsq/fixed_fit.h"

#include <algorithm>

#include "lsq/solver.h"

namespace tsr {

void fit_fixed_order(int32_t nh, const FitSeries& series, double* par, double* yf, LsqWorkspace* ws) {
  const FunctionMatrix& x = *series.x;
  const double* y = series.y;
  const uint8_t* use = series.use;
  // Parameter count, bounded by the solver's capacity; rows by the matrix's.
  const int32_t np = std::min<int32_t>(2 * nh + 2, kSolverDim);
  const int32_t rows = std::min<int32_t>(series.nb, x.rows());

  double* normal = ws->fixed_normal;
  double* block = ws->fixed_block;
  double* v = ws->fixed_rhs;
  auto nrm = [normal](int32_t j, int32_t k) -> double& { return normal[(k - 1) * kSolverDim + (j - 1)]; };
  auto blk = [block](int32_t j, int32_t k) -> double& { return block[(k - 1) * kSolverDim + (j - 1)]; };

  for (int32_t j = 1; j <= np; ++j) par[j - 1] = 0.0;
  for (int32_t i = 1; i <= rows; ++i) yf[i - 1] = 0.0;
  for (int32_t j = 1; j <= np; ++j) {
    for (int32_t k = 1; k <= np; ++k) nrm(j, k) = 0.0;
    v[j - 1] = 0.0;
  }

  // Normal equations over the used samples, in time order.
  for (int32_t i = 1; i <= rows; ++i) {
    if ((use[i - 1] & 1u) == 0) continue;
    const double yi = y[i - 1];
    for (int32_t j = 1; j <= np; ++j) {
      const double xij = x.at(i, j);
      for (int32_t k = 1; k <= np; ++k) nrm(j, k) = x.at(i, k) * xij + nrm(j, k);
      v[j - 1] = yi * xij + v[j - 1];
    }
  }

  // The solver works on a symmetric copy built from the upper triangle.
  for (int32_t j = 1; j <= np; ++j) {
    for (int32_t k = j; k <= np; ++k) {
      blk(j, k) = nrm(j, k);
      blk(k, j) = nrm(j, k);
    }
  }

  // A singular system leaves the block partly reduced; the products below
  // run on whatever it holds.
  invert_in_place(block, np, kSolverDim);

  for (int32_t j = 1; j <= np; ++j) {
    for (int32_t k = 1; k <= np; ++k) par[j - 1] = blk(j, k) * v[k - 1] + par[j - 1];
  }

  // The model at every time step, used or not.
  for (int32_t i = 1; i <= rows; ++i) {
    for (int32_t k = 1; k <= np; ++k) yf[i - 1] = par[k - 1] * x.at(i, k) + yf[i - 1];
  }
}

}  // namespace tsr
