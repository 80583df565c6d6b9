#include "lsq/solver.h"

#include <cmath>

#include "lsq/constants.h"
#include "lsq/limits.h"

namespace tsr {

void invert_in_place(double* a, int32_t n, int32_t lda) {
  // The bookkeeping holds kSolverDim stages; a larger order is refused unchanged.
  if (n <= 0 || n > kSolverDim) return;
  // Element (i, j), 1-based, of the column-major matrix.
  auto el = [a, lda](int32_t i, int32_t j) -> double& {
    return a[static_cast<int64_t>(j - 1) * lda + (i - 1)];
  };

  int32_t pivot_uses[kSolverDim + 1];
  int32_t pivot_row[kSolverDim + 1];
  int32_t pivot_col[kSolverDim + 1];
  for (int32_t j = 1; j <= n; ++j) pivot_uses[j] = 0;

  for (int32_t i = 1; i <= n; ++i) {
    // Full pivot search in row-major order; the strict comparison keeps the
    // first entry of the largest magnitude and never picks an exact zero.
    double largest = 0.0;
    int32_t r = 0;
    int32_t s = 0;
    bool found = false;
    for (int32_t j = 1; j <= n; ++j) {
      if (pivot_uses[j] == 1) continue;
      for (int32_t k = 1; k <= n; ++k) {
        if (pivot_uses[k] == 1) continue;
        if (pivot_uses[k] == 0 && std::fabs(el(j, k)) > std::fabs(largest)) {
          r = j;
          s = k;
          largest = el(j, k);
          found = true;
        }
      }
    }
    if (!found) return;  // singular: leave the block partly reduced

    pivot_uses[s] = pivot_uses[s] + 1;

    // Bring the pivot onto the diagonal.
    if (r != s) {
      for (int32_t l = 1; l <= n; ++l) {
        const double tmp = el(r, l);
        el(r, l) = el(s, l);
        el(s, l) = tmp;
      }
    }
    pivot_row[i] = r;
    pivot_col[i] = s;

    const double p = el(s, s);
    el(s, s) = 1.0;
    for (int32_t l = 1; l <= n; ++l) el(s, l) = el(s, l) / p;

    for (int32_t ll = 1; ll <= n; ++ll) {
      if (ll == s) continue;
      double multiplier = el(ll, s);
      el(ll, s) = 0.0;
      if (-kMultiplierFlush < multiplier && multiplier < kMultiplierFlush) multiplier = 0.0;
      for (int32_t l = 1; l <= n; ++l) el(ll, l) = el(ll, l) - el(s, l) * multiplier;
    }
  }

  // Undo the row interchanges as column interchanges, last stage first.
  for (int32_t l = n; l >= 1; --l) {
    const int32_t c1 = pivot_row[l];
    const int32_t c2 = pivot_col[l];
    if (c1 == c2) continue;
    for (int32_t k = 1; k <= n; ++k) {
      const double tmp = el(k, c1);
      el(k, c1) = el(k, c2);
      el(k, c2) = tmp;
    }
  }
}

}  // namespace tsr
