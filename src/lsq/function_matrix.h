// The basis functions of the model, one row per time step: a constant, a
// linear term and a sine/cosine pair per harmonic.
#pragma once

#include <cstdint>

#include "lsq/constants.h"
#include "lsq/limits.h"

namespace tsr {

// kMaxBands rows by kMatrixColumns columns of doubles, stored column by
// column with a kMaxBands-row stride. Indices are 1-based: at(t, j) is basis
// function j at time step t.
struct FunctionMatrix {
  double v[kMatrixColumns * kMaxBands] = {};
  double& at(int t, int j) { return v[(j - 1) * kMaxBands + (t - 1)]; }
  double at(int t, int j) const { return v[(j - 1) * kMaxBands + (t - 1)]; }
  // Column j as a 0-based array: column(j)[t - 1] == at(t, j).
  const double* column(int j) const { return v + (j - 1) * kMaxBands; }
};

// Fills rows 1..nb and columns 1..2*nfunc+2; everything else is left as it is.
// nb is cut to kMaxBands and nfunc to kMaxHarmonics, the matrix's capacity;
// npoint must be positive (otherwise the harmonic columns hold the IEEE
// results of dividing by it). The model's frequencies are
// harmonic_frequencies (lsq/constants.h).
void build_function_matrix(int32_t nb, int32_t npoint, int32_t nfunc,
                           const int32_t (&frequencies)[kMaxHarmonics], FunctionMatrix& x);

}  // namespace tsr
