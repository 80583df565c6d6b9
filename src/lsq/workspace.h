// Working storage of the least-squares routines. One object serves one
// worker: create it once and hand it to every call; nothing is allocated per
// call. The object is large (the reflection matrix alone is 320 kB), so
// create it on the heap.
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"

namespace tsr {

// Order of the largest matrix handed to the solver, and its leading dimension.
constexpr int kSolverDim = 50;
// Longest harmonic subset the generator may build (entry 0 is a sentinel).
constexpr int kMaxSubsetLength = 50;
// Highest harmonic cap a selection fit can evaluate: its sine and cosine
// columns must lie within the function matrix.
constexpr int kMaxHarmonicCap = (kMatrixColumns - 2) / 2;
// Columns of the selection work matrix: constant, linear, a pair per
// harmonic up to the cap, and the series.
constexpr int kWorkColumns = 2 * kMaxHarmonicCap + 3;

struct LsqWorkspace {
  // Fixed-order fit: normal matrix, the block handed to the solver (both with
  // leading dimension kSolverDim) and the right-hand side.
  double fixed_normal[kSolverDim * kSolverDim] = {};
  double fixed_block[kSolverDim * kSolverDim] = {};
  double fixed_rhs[kSolverDim] = {};

  // Selection fit: subset generator (entry 0 is the sentinel) and its length.
  int32_t subset[kMaxSubsetLength + 1] = {};
  int32_t subset_length = 0;
  // Best subset found (1-based), the number of its harmonics in the retained
  // model and that model's parameter count.
  int32_t best_subset[kMaxSubsetLength + 1] = {};
  int32_t retained_pairs = 0;
  int32_t retained_params = 0;
  // Work matrix: used samples in time order (200-row column stride).
  double z[kMaxBands * kWorkColumns] = {};
  // Retained triangular block (leading dimension kSolverDim) and its
  // transformed right-hand side.
  double retained_block[kSolverDim * kSolverDim] = {};
  double retained_rhs[kSolverDim] = {};

  // Householder reflection: reflector, reflection matrix (200-row stride)
  // and the product matrix (200-row stride).
  double reflector[kMaxBands] = {};
  double reflection[kMaxBands * kMaxBands] = {};
  double product[kMaxBands * kWorkColumns] = {};
};

}  // namespace tsr
