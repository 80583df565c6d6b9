// The Householder steps of the fast selection engine (select_fit_fast.cc):
// one reflection set up from its pivot column, then applied to many columns
// at once by vector kernels, with the same sums in the same order as the
// literal householder_step (why that is exact: select_fit_fast.cc).
//
// Internal to lsq: code outside this folder uses select_fit_fast.h.
#pragma once

#include <cstdint>

#include "lsq/select_fit_fast.h"

namespace tsr {

// Storage of one reflection, indexed by row - 1, each array with at least
// the workspace's stride() entries (diagonal: stride() * kFastMaxLanes).
struct FastReflection {
  FastKernel kernel = FastKernel::kSse2;
  double* u = nullptr;         // the reflector
  double* nw = nullptr;        // -(beta * u)
  double* diagonal = nullptr;  // the kernel's entries near the diagonal

  // The storage of fw, with fw's kernel.
  static FastReflection of(FastFitWorkspace& fw);
};

// The rows of one step: pivot row l (1-based), used samples 1..used, rows
// kept per column kept_from..extent (extent >= used; the rows past the used
// ones are never changed by a step). Rows before kept_from are left as they
// are in dst: a caller that never reads them again saves their copies.
struct StepRows {
  int32_t l = 0;
  int32_t used = 0;
  int32_t extent = 0;
  int32_t kept_from = 1;
};

// The columns one step transforms: src[c] into dst[c], distinct storage of
// the workspace's stride() rows each.
struct StepColumns {
  static constexpr int kMaxColumns = kFastModelColumns;
  const double* src[kMaxColumns] = {};
  double* dst[kMaxColumns] = {};
  int count = 0;

  void add(const double* from, double* to) {
    src[count] = from;
    dst[count] = to;
    ++count;
  }
};

// The reflection of pivot row rows.l defined by pivot (a column) applied to
// every column of cols over rows rows.kept_from..rows.extent (kept_from <= l).
// Returns whether the step
// changed anything (false when the pivot row lies past the used samples or
// the pivot column has no length below it); if not, each dst is a copy of
// its src.
bool apply_step(const FastReflection& r, const double* pivot, const StepRows& rows, const StepColumns& cols);

// Row l of col after the reflection of pivot row l defined by col itself
// (the last step of a subset, on the series column): the sum from +0.0 of
// H(l,q) * col(q), q = l..used. `applied` tells whether the step changed
// anything.
double reflect_onto_itself(const FastReflection& r, const double* col, int32_t l, int32_t used, bool& applied);

}  // namespace tsr
