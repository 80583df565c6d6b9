// Working storage of the least-squares routines. One object serves one
// worker: create it once and hand it to every call; nothing is allocated per
// call. Its capacity -- the longest series its selection fit can hold -- is
// fixed when it is built: the executable's kMaxBands unless told otherwise.
// The object is large: the literal reflection matrix alone holds capacity^2
// doubles (320 kB at 200 time steps, 8 MB at 1000), taken as zeroed memory
// that the system backs only once the literal selection fit runs. The other
// capacities come from lsq/limits.h.
#pragma once

#include <cstdint>
#include <vector>

#include "lsq/aligned_storage.h"
#include "lsq/limits.h"

namespace tsr {

struct LsqWorkspace {
  // A capacity below kWorkColumns is raised to it: the work matrix is read
  // down to the row of its last column even when the series is shorter.
  explicit LsqWorkspace(int32_t capacity = kMaxBands);

  // Rows of the work matrix, the reflector and the reflection matrix: the
  // column stride of every capacity-sized matrix below.
  int32_t capacity() const { return capacity_; }

  // Bytes the vectors below take for a workspace of `capacity` (besides the
  // object itself): the reflection matrix's (the storage the system backs
  // only once the literal selection fit runs; UINT64_MAX when the count does
  // not fit 64 bits) and the others'.
  static uint64_t reflection_bytes(int32_t capacity);
  static uint64_t heap_bytes_besides_reflection(int32_t capacity);

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
  // Retained triangular block (leading dimension kSolverDim) and its
  // transformed right-hand side.
  double retained_block[kSolverDim * kSolverDim] = {};
  double retained_rhs[kSolverDim] = {};

  // Work matrix: used samples in time order (capacity x kWorkColumns).
  std::vector<double> z;
  // Householder reflection: reflector (capacity), reflection matrix
  // (capacity x capacity) and the product matrix (capacity x kWorkColumns).
  std::vector<double> reflector;
  ZeroedDoubles reflection;
  std::vector<double> product;

 private:
  int32_t capacity_;
};

}  // namespace tsr
