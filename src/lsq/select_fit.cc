#include "lsq/select_fit.h"

#include <algorithm>
#include <cmath>

#include "lsq/fit_common.h"
#include "lsq/subsets.h"

namespace tsr {

namespace {

// Element (i, j), 1-based, of a column-major array with `stride` rows per column.
inline double& cell_at(double* a, int32_t i, int32_t j, int32_t stride) {
  return a[static_cast<int64_t>(j - 1) * stride + (i - 1)];
}

// Triangularises the current subset's model over the used samples and scores
// every prefix of it, retaining a model whose criterion beats the best so far.
void evaluate_subset(int32_t rows, const double* y, const uint8_t* use, const FunctionMatrix& x,
                     double& crit, LsqWorkspace& ws) {
  const int32_t len = ws.subset_length;
  const int32_t* s = ws.subset;
  const int32_t nc = 2 * len + 3;
  double* z = ws.z.data();
  const int32_t stride = ws.capacity();
  auto cell = [stride](double* a, int32_t i, int32_t j) -> double& { return cell_at(a, i, j, stride); };

  // Rows past the series are read when it has fewer samples than columns,
  // so those are cleared too.
  const int32_t clear_rows = std::max(rows, nc);
  for (int32_t j = 1; j <= nc; ++j) {
    for (int32_t i = 1; i <= clear_rows; ++i) cell(z, i, j) = 0.0;
  }

  int32_t used = 0;
  for (int32_t i = 1; i <= rows; ++i) {
    if ((use[i - 1] & 1u) == 0) continue;
    used = used + 1;
    cell(z, used, 1) = x.at(i, 1);
    cell(z, used, 2) = x.at(i, 2);
    for (int32_t k = 1; k <= len; ++k) {
      cell(z, used, 2 * k + 1) = x.at(i, 2 * s[k] + 1);
      cell(z, used, 2 * k + 2) = x.at(i, 2 * s[k] + 2);
    }
    cell(z, used, nc) = y[i - 1];
  }

  for (int32_t j = 1; j <= nc; ++j) householder_step(z, used, nc, j, j, ws);

  // Residual sums of the nested models, the full subset first: dropping a
  // harmonic pair adds its two transformed series components.
  score_nested_models(
      len, used, cell(z, nc, nc),
      [z, nc, &cell](int32_t pairs, double& a, double& b) {
        a = cell(z, 2 * pairs + 3, nc);
        b = cell(z, 2 * pairs + 4, nc);
      },
      crit,
      [&ws, z, s, len, nc, &cell](int32_t pairs) {
        ws.retained_pairs = pairs;
        const int32_t retained_params = 2 * pairs + 2;
        ws.retained_params = retained_params;
        for (int32_t k = 1; k <= len; ++k) ws.best_subset[k] = s[k];
        for (int32_t r = 1; r <= retained_params; ++r) {
          for (int32_t p = 1; p <= retained_params; ++p) solver_cell(ws.retained_block, p, r) = cell(z, p, r);
        }
        for (int32_t p = 1; p <= retained_params; ++p) ws.retained_rhs[p - 1] = cell(z, p, nc);
      });
}

}  // namespace

void householder_step(double* a, int32_t rows, int32_t nc, int32_t l, int32_t k, LsqWorkspace& ws) {
  if (k < 1 || k > nc || l < 1 || l > rows) return;
  const int32_t stride = ws.capacity();
  if (rows > stride || nc > kWorkColumns) return;

  double* h = ws.reflection.data();
  double* u = ws.reflector.data();
  double* t = ws.product.data();
  auto cell = [stride](double* m, int32_t i, int32_t j) -> double& { return cell_at(m, i, j, stride); };

  const int32_t size = std::max(rows, nc);
  for (int32_t j = 1; j <= size; ++j) {
    for (int32_t i = 1; i <= size; ++i) cell(h, i, j) = 0.0;
  }
  for (int32_t i = 1; i <= size; ++i) u[i - 1] = 0.0;

  double beta = 0.0;
  if (!set_up_reflector(&cell(a, 1, k), l, rows, u, beta)) return;

  // H = I - beta * u * u', filled by rows of the upper triangle and mirrored.
  for (int32_t i = 1; i <= rows; ++i) {
    for (int32_t j = i; j <= rows; ++j) {
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
    for (int32_t i = 1; i <= rows; ++i) {
      const double* hi = &cell(h, 1, i);
      double sum = 0.0;
      for (int32_t q = 1; q <= rows; ++q) sum = hi[q - 1] * aj[q - 1] + sum;
      cell(t, i, j) = sum;
    }
  }
  for (int32_t j = 1; j <= nc; ++j) {
    for (int32_t i = 1; i <= rows; ++i) cell(a, i, j) = cell(t, i, j);
  }
}

void select_and_fit(const SelectionFitOptions& options, const FitSeries& series, double* par, double* yf,
                    SelectionFitSummary* summary, LsqWorkspace* ws_in) {
  LsqWorkspace& ws = *ws_in;
  const FunctionMatrix& x = *series.x;
  const FitShape shape = fit_shape(series.nb, options.nfunc, std::min(x.rows(), ws.capacity()));
  // Reset ranges, bounded by the workspace.
  const int32_t clear_subset = std::min<int32_t>(shape.params + 1, kMaxSubsetLength);
  const int32_t clear_best = std::min<int32_t>(shape.params + 2, kMaxSubsetLength);
  const int32_t clear_block = std::min<int32_t>(shape.params + 2, kSolverDim);
  int32_t& cap = summary->cap;
  double& crit = summary->criterion;
  cap = options.cap;

  for (;;) {
    // Every attempt starts from cleared storage.
    start_attempt(shape, par, yf, crit);
    ws.subset[0] = 0;
    for (int32_t j = 1; j <= clear_subset; ++j) ws.subset[j] = 0;
    for (int32_t j = 1; j <= clear_best; ++j) ws.best_subset[j] = 0;
    for (int32_t r = 1; r <= clear_block; ++r) {
      for (int32_t p = 1; p <= clear_block; ++p) solver_cell(ws.retained_block, p, r) = 0.0;
      ws.retained_rhs[r - 1] = 0.0;
    }
    ws.subset_length = 0;
    ws.retained_pairs = 0;
    ws.retained_params = 0;

    bool rejected = cap > kMaxHarmonicCap;
    if (!rejected) {
      for (;;) {
        if (!extend_subset(ws.subset, ws.subset_length, cap)) {
          rejected = true;
          break;
        }
        evaluate_subset(shape.rows, series.y, series.use, x, crit, ws);
        if (!advance_subset(ws.subset, ws.subset_length)) break;
      }
    }

    const RetainedModel retained{ws.retained_block, ws.retained_rhs, ws.retained_params, ws.retained_pairs,
                                 ws.best_subset};
    if (!rejected && solve_and_accept(shape, x, retained, par, yf)) return;

    if (!lower_cap_or_fail(shape.params, shape.rows, par, yf, cap)) return;
  }
}

}  // namespace tsr
