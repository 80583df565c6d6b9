#include "lsq/function_matrix.h"

#include <algorithm>
#include <cmath>

namespace tsr {

FunctionMatrix::FunctionMatrix(int32_t rows)
    : rows_(rows < 1 ? 1 : rows), v_(static_cast<size_t>(kMatrixColumns) * static_cast<size_t>(rows_), 0.0) {}

void build_function_matrix(int32_t nb, int32_t npoint, int32_t nfunc,
                           const int32_t (&frequencies)[kMaxHarmonics], FunctionMatrix& x) {
  // pi comes from the maths library at run time, not from a stored literal.
  volatile double one = 1.0;
  const double pi = std::atan(one) * 4.0;
  const double w = (pi * 2.0) / static_cast<double>(npoint);

  // The matrix holds x.rows() rows and kMaxHarmonics harmonic pairs;
  // larger requests are cut to what it holds.
  const int32_t rows = std::min<int32_t>(nb, x.rows());
  const int32_t pairs = std::min<int32_t>(nfunc, kMaxHarmonics);

  for (int32_t t = 1; t <= rows; ++t) {
    const double rt = static_cast<double>(t);
    for (int32_t k = 1; k <= pairs; ++k) {
      const double tw = rt * w;
      const double a = tw * static_cast<double>(frequencies[k - 1]);
      x.at(t, 2 * k + 1) = std::sin(a);
      x.at(t, 2 * k + 2) = std::cos(a);
    }
    x.at(t, 1) = 1.0;
    x.at(t, 2) = rt * kLinearTermStep;
  }
}

}  // namespace tsr
