#include "lsq/select_fit.h"

#include <algorithm>
#include <cmath>

#include "lsq/solver.h"
#include "lsq/subsets.h"

namespace tsr {

namespace {

// Element (i, j), 1-based, of a 200-row column-major array.
inline double& cell(double* a, int32_t i, int32_t j) {
  return a[static_cast<int64_t>(j - 1) * kMaxBands + (i - 1)];
}
inline double& solver_cell(double* a, int32_t i, int32_t j) {
  return a[(j - 1) * kSolverDim + (i - 1)];
}

// Triangularises the current subset's model over the used samples and scores
// every prefix of it, retaining a model whose criterion beats the best so far.
void evaluate_subset(int32_t rows, const double* y, const uint8_t* use, const FunctionMatrix& x,
                     double& crit, LsqWorkspace& ws) {
  const int32_t len = ws.subset_length;
  const int32_t* s = ws.subset;
  const int32_t nc = 2 * len + 3;
  double* z = ws.z;

  // Rows past the series are read when it has fewer samples than columns,
  // so those are cleared too.
  const int32_t clear_rows = std::max(rows, nc);
  for (int32_t j = 1; j <= nc; ++j) {
    for (int32_t i = 1; i <= clear_rows; ++i) cell(z, i, j) = 0.0;
  }

  int32_t n = 0;
  for (int32_t i = 1; i <= rows; ++i) {
    if ((use[i - 1] & 1u) == 0) continue;
    n = n + 1;
    cell(z, n, 1) = x.at(i, 1);
    cell(z, n, 2) = x.at(i, 2);
    for (int32_t k = 1; k <= len; ++k) {
      cell(z, n, 2 * k + 1) = x.at(i, 2 * s[k] + 1);
      cell(z, n, 2 * k + 2) = x.at(i, 2 * s[k] + 2);
    }
    cell(z, n, nc) = y[i - 1];
  }

  for (int32_t j = 1; j <= nc; ++j) householder_step(z, n, nc, j, j, ws);

  // Residual sums of the nested models, the full subset first: dropping a
  // harmonic pair adds its two transformed series components.
  const double rn = static_cast<double>(n);
  double rss = cell(z, nc, nc) * cell(z, nc, nc);
  for (int32_t pairs = len; pairs >= 1; --pairs) {
    if (pairs < len) {
      const double a = cell(z, 2 * pairs + 3, nc);
      const double b = cell(z, 2 * pairs + 4, nc);
      rss = (a * a + rss) + b * b;
    }
    const double v = rss / rn;
    if (!(v > kMinVariance)) continue;
    const double c = information_criterion(n, rss, pairs);
    if (c < crit) {
      crit = c;
      ws.retained_pairs = pairs;
      const int32_t np = 2 * pairs + 2;
      ws.retained_params = np;
      for (int32_t k = 1; k <= len; ++k) ws.best_subset[k] = s[k];
      for (int32_t r = 1; r <= np; ++r) {
        for (int32_t p = 1; p <= np; ++p) solver_cell(ws.retained_block, p, r) = cell(z, p, r);
      }
      for (int32_t p = 1; p <= np; ++p) ws.retained_rhs[p - 1] = cell(z, p, nc);
    }
  }
}

}  // namespace

double information_criterion(int32_t n, double rss, int32_t pairs) {
  const double rn = static_cast<double>(n);
  const double scaled = ((kPiSingle * 2.0) * rss) / rn;
  double c = std::log(scaled);
  c = c * rn;
  c = c + rn;
  c = c + static_cast<double>(4 * pairs + 6);
  return c;
}

bool solve_and_accept(int32_t rows, int32_t model_columns, const FunctionMatrix& x, double* block,
                      const double* rhs, int32_t pstar, int32_t retained_pairs, const int32_t* best_subset,
                      double* par, double* yf) {
  // Solve the retained triangular system through its inverse.
  invert_in_place(block, pstar, kSolverDim);
  for (int32_t pairs = 0; pairs <= retained_pairs; ++pairs) {
    const int32_t q = pairs == 0 ? 1 : 2 * best_subset[pairs] + 1;
    for (int32_t p = 1; p <= pstar; ++p) {
      par[q - 1] = solver_cell(block, 2 * pairs + 1, p) * rhs[p - 1] + par[q - 1];
    }
    for (int32_t p = 1; p <= pstar; ++p) {
      par[q] = solver_cell(block, 2 * pairs + 2, p) * rhs[p - 1] + par[q];
    }
  }

  // The fitted curve at every time step, used or not.
  for (int32_t i = 1; i <= rows; ++i) {
    for (int32_t k = 1; k <= model_columns; ++k) yf[i - 1] = par[k - 1] * x.at(i, k) + yf[i - 1];
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

bool lower_cap_or_fail(int32_t np, int32_t rows, double* par, double* yf, int32_t& m) {
  if (m > 1) {
    m = m - 1;
    return true;
  }
  for (int32_t j = 1; j <= np; ++j) par[j - 1] = 0.0;
  for (int32_t i = 1; i <= rows; ++i) yf[i - 1] = -1.0;
  m = -1;
  return false;
}

void householder_step(double* a, int32_t m, int32_t nc, int32_t l, int32_t k, LsqWorkspace& ws) {
  if (k < 1 || k > nc || l < 1 || l > m) return;
  if (m > kMaxBands || nc > kWorkColumns) return;

  double* h = ws.reflection;
  double* u = ws.reflector;
  double* t = ws.product;

  const int32_t size = std::max(m, nc);
  for (int32_t j = 1; j <= size; ++j) {
    for (int32_t i = 1; i <= size; ++i) cell(h, i, j) = 0.0;
  }
  for (int32_t i = 1; i <= size; ++i) u[i - 1] = 0.0;

  double s = 0.0;
  for (int32_t i = l; i <= m; ++i) {
    u[i - 1] = cell(a, i, k);
    s = cell(a, i, k) * cell(a, i, k) + s;
  }
  const double sigma = std::sqrt(s);
  const double av = cell(a, l, k);
  if (sigma < kMinColumnNorm) return;

  // The reflection maps the pivot onto -alpha; alpha takes the sign bit of
  // the pivot, so a negative zero counts as negative.
  const double alpha = std::signbit(av) ? -std::fabs(sigma) : std::fabs(sigma);
  const double beta = 1.0 / (av * alpha + s);
  u[l - 1] = alpha + u[l - 1];

  // H = I - beta * u * u', filled by rows of the upper triangle and mirrored.
  for (int32_t i = 1; i <= m; ++i) {
    for (int32_t j = i; j <= m; ++j) {
      cell(h, i, j) = -((beta * u[i - 1]) * u[j - 1]);
      if (j == i) {
        cell(h, i, i) = cell(h, i, i) + 1.0;
      } else {
        cell(h, j, i) = cell(h, i, j);
      }
    }
  }

  // T = H * A over all nc columns. H is symmetric by construction (each
  // element below the diagonal is a copy of its mirror), so row i of H is
  // read as column i, which holds the same values contiguously.
  for (int32_t j = 1; j <= nc; ++j) {
    const double* aj = &cell(a, 1, j);
    for (int32_t i = 1; i <= m; ++i) {
      const double* hi = &cell(h, 1, i);
      double sum = 0.0;
      for (int32_t q = 1; q <= m; ++q) sum = hi[q - 1] * aj[q - 1] + sum;
      cell(t, i, j) = sum;
    }
  }
  for (int32_t j = 1; j <= nc; ++j) {
    for (int32_t i = 1; i <= m; ++i) cell(a, i, j) = cell(t, i, j);
  }
}

void select_and_fit(int32_t n, int32_t nfunc, const double* y, const uint8_t* use,
                    const FunctionMatrix& x, double* par, double* yf, int32_t& m, double& crit,
                    LsqWorkspace& ws) {
  const int32_t rows = std::min<int32_t>(n, kMaxBands);
  const int32_t np = 2 * nfunc + 2;
  // Columns of the function matrix that the fitted series sums over.
  const int32_t model_columns = std::min<int32_t>(np, kMatrixColumns);
  // Reset ranges, bounded by the workspace.
  const int32_t clear_subset = std::min<int32_t>(np + 1, kMaxSubsetLength);
  const int32_t clear_best = std::min<int32_t>(np + 2, kMaxSubsetLength);
  const int32_t clear_block = std::min<int32_t>(np + 2, kSolverDim);

  for (;;) {
    // Every attempt starts from cleared storage.
    for (int32_t j = 1; j <= np + 2; ++j) par[j - 1] = 0.0;
    ws.subset[0] = 0;
    for (int32_t j = 1; j <= clear_subset; ++j) ws.subset[j] = 0;
    for (int32_t j = 1; j <= clear_best; ++j) ws.best_subset[j] = 0;
    for (int32_t r = 1; r <= clear_block; ++r) {
      for (int32_t p = 1; p <= clear_block; ++p) solver_cell(ws.retained_block, p, r) = 0.0;
      ws.retained_rhs[r - 1] = 0.0;
    }
    for (int32_t i = 1; i <= rows; ++i) yf[i - 1] = 0.0;
    ws.subset_length = 0;
    crit = kNoCriterion;
    ws.retained_pairs = 0;
    ws.retained_params = 0;

    bool rejected = m > kMaxHarmonicCap;
    if (!rejected) {
      for (;;) {
        if (!extend_subset(ws.subset, ws.subset_length, m)) {
          rejected = true;
          break;
        }
        evaluate_subset(rows, y, use, x, crit, ws);
        if (!advance_subset(ws.subset, ws.subset_length)) break;
      }
    }

    if (!rejected &&
        solve_and_accept(rows, model_columns, x, ws.retained_block, ws.retained_rhs, ws.retained_params,
                         ws.retained_pairs, ws.best_subset, par, yf)) {
      return;
    }

    if (!lower_cap_or_fail(np, rows, par, yf, m)) return;
  }
}

}  // namespace tsr
