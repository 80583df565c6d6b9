// The basis functions of the model, one row per time step: a constant, a
// linear term and a sine/cosine pair per harmonic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lsq/constants.h"
#include "lsq/limits.h"

namespace tsr {

// rows() rows by kMatrixColumns columns of doubles, stored column by column
// with a rows()-row stride. Indices are 1-based: at(t, j) is basis function j
// at time step t. The number of rows is fixed when the matrix is built: the
// executable's kMaxBands unless told otherwise (a longer record needs a
// matrix of its length). Every entry starts at zero.
class FunctionMatrix {
 public:
  // rows below 1 are taken as 1.
  explicit FunctionMatrix(int32_t rows = kMaxBands);

  int32_t rows() const { return rows_; }
  double& at(int t, int j) { return v_[index(t, j)]; }
  double at(int t, int j) const { return v_[index(t, j)]; }
  // Column j as a 0-based array: column(j)[t - 1] == at(t, j).
  const double* column(int j) const { return v_.data() + index(1, j); }

 private:
  std::size_t index(int t, int j) const {
    return static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(rows_) + static_cast<std::size_t>(t - 1);
  }

  int32_t rows_;
  std::vector<double> v_;
};

// Fills rows 1..nb and columns 1..2*nfunc+2; everything else is left as it is.
// nb is cut to x.rows() and nfunc to kMaxHarmonics, the matrix's capacity;
// npoint must be positive (otherwise the harmonic columns hold the IEEE
// results of dividing by it). The model's frequencies are
// harmonic_frequencies (lsq/constants.h).
void build_function_matrix(int32_t nb, int32_t npoint, int32_t nfunc,
                           const int32_t (&frequencies)[kMaxHarmonics], FunctionMatrix& x);

}  // namespace tsr
