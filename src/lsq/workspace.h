// Working storage of the least-squares routines. One object serves one
// worker: create it once and hand it to every call; nothing is allocated per
// call. The object is large (the reflection matrix alone is 320 kB), so
// create it on the heap. Its capacities come from lsq/limits.h.
#pragma once

#include <cstdint>

#include "lsq/limits.h"

namespace tsr {

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
  // Work matrix: used samples in time order (kMaxBands-row column stride).
  double z[kMaxBands * kWorkColumns] = {};
  // Retained triangular block (leading dimension kSolverDim) and its
  // transformed right-hand side.
  double retained_block[kSolverDim * kSolverDim] = {};
  double retained_rhs[kSolverDim] = {};

  // Householder reflection: reflector, reflection matrix and the product
  // matrix (both with a kMaxBands-row stride).
  double reflector[kMaxBands] = {};
  double reflection[kMaxBands * kMaxBands] = {};
  double product[kMaxBands * kWorkColumns] = {};
};

}  // namespace tsr
