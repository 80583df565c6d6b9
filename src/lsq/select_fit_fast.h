// Fast engine of the model selection fit: the same bits as select_and_fit
// (select_fit.h), many times faster.
//
// select_and_fit applies every Householder reflection as an explicit product
// of the full reflection matrix with the whole work matrix, and triangularises
// each harmonic subset from scratch. The fast engine computes exactly the same
// sums in exactly the same order, but
//   - skips the products that only add signed zeros (rows above the pivot and
//     the terms of the sum that run over them),
//   - applies each reflection only to the columns whose values are read later,
//   - shares the reflections of a common prefix of harmonics among all the
//     subsets that start with it (the subsets form a tree), and keeps the
//     scalars that scoring reads for every prefix, so that an attempt with a
//     lowered cap is scored without a single new reflection,
//   - rebuilds the retained triangular block once per attempt, for the model
//     that finally wins, instead of at every improvement,
//   - runs the remaining sums several rows and columns at a time in vector
//     registers (separate multiply and add; no fused multiply-add), forming
//     each entry of the reflection where it is used instead of storing the
//     whole reflection matrix.
// Why each of these is exact is explained where it is done, in
// select_fit_fast.cc. Inputs outside the ground on which that reasoning holds
// (a value that is not finite, or so large that a sum of squares could
// overflow; a cap beyond kFastMaxCap) are handed to select_and_fit.
#pragma once

#include <cstdint>

#include "lsq/aligned_storage.h"
#include "lsq/fit_series.h"
#include "lsq/function_matrix.h"
#include "lsq/limits.h"
#include "lsq/select_fit.h"
#include "lsq/workspace.h"

namespace tsr {

// Which engine a fit runs on. The literal engine is the yardstick the fast one
// is checked against.
enum class LsqEngine : uint8_t { kFast, kLiteral };

// The vector instructions of the fast engine's kernels. IEEE multiplication
// and addition are exact per lane, so every choice gives the same bits.
enum class FastKernel : uint8_t {
  kSse2,    // 2 lanes: every x86-64 processor
  kAvx2,    // 4 lanes
  kAvx512,  // 8 lanes (AVX-512F)
};

// True when the processor (and the operating system) run the kernel.
bool fast_kernel_supported(FastKernel kernel);
// The widest kernel the processor runs: what a new workspace uses.
FastKernel widest_fast_kernel();

// The engine's capacities: kFastMaxCap (lsq/limits.h) is the highest cap it
// handles itself; above it the literal engine runs.
// Columns of a prefix state: a sine/cosine pair per harmonic, and the series.
constexpr int kFastStateColumns = 2 * kFastMaxCap + 1;
// Columns of the gathered model: constant, linear, the pairs and the series.
constexpr int kFastModelColumns = 2 * kFastMaxCap + 3;
// Prefixes (harmonic subsets) that can be cached: one per bit pattern.
constexpr int kFastNodes = 1 << kFastMaxCap;
// Lanes of the widest kernel: the vector stores of a step run up to
// kFastMaxLanes - 1 rows past the last used sample.
constexpr int kFastMaxLanes = 8;

// What scoring reads of the triangularisation of one harmonic subset
// (h(1) < ... < h(d)), all taken from the series column:
//   a, b: rows 2d+1 and 2d+2 once the subset's 2d+2 reflections are applied;
//   last: row 2d+3 after the reflection of the series column itself (the
//         last step when this subset is the whole model).
// And whether each of those three reflections changed anything (a step with a
// pivot row past the used samples or a column without length does not).
struct FastPrefix {
  double a = 0.0;
  double b = 0.0;
  double last = 0.0;
  bool applied_first = false;
  bool applied_second = false;
  bool applied_last = false;
};

// Working storage of the fast engine for one worker, for series of up to
// capacity() time steps. Create it once and reuse it for every call: nothing
// is allocated per call. About 0.4 MB at 200 time steps, 1.9 MB at 1000.
struct FastFitWorkspace {
  // A capacity below kWorkColumns is raised to it, as LsqWorkspace does.
  explicit FastFitWorkspace(int32_t capacity = kMaxBands);

  int32_t capacity() const { return capacity_; }
  // Stored rows per column: the capacity (and at least the rows a model of
  // the largest cap reads), the rows of vector overrun, rounded up to whole
  // cache lines.
  int32_t stride() const { return stride_; }
  // Bytes the vectors below take for a workspace of `capacity` (besides the
  // object itself).
  static uint64_t heap_bytes(int32_t capacity);

  // Kernel choice (see widest_fast_kernel); tests switch it.
  FastKernel kernel = widest_fast_kernel();

  // The used samples of the model's columns in time order (row r at index
  // r - 1), column c at c * stride(): 0 constant, 1 linear, 2h and 2h+1
  // the sine and cosine of harmonic h, kFastModelColumns - 1 the series.
  AlignedDoubles model;
  // The model's columns after the reflections of the constant and linear
  // columns (same layout as model; used in building the tree).
  AlignedDoubles scratch;
  // State of each depth of the prefix tree (kFastStateColumns columns each):
  // the columns not yet reflected on (pair of harmonic h at 2(h-1) and
  // 2(h-1)+1, series last) after the reflections of the current prefix.
  AlignedDoubles state;
  // Two buffers for rebuilding the retained block (model layout each).
  AlignedDoubles rebuild_from;
  AlignedDoubles rebuild_to;
  // Reflector u and -(beta * u) of the current reflection, indexed by
  // row - 1, and the reflection's entries near its diagonal (stride() rows
  // by kFastMaxLanes).
  AlignedDoubles reflector;
  AlignedDoubles negated_scaled_reflector;
  AlignedDoubles diagonal;
  // Scoring scalars of every prefix, indexed by the bit pattern of its
  // harmonics (bit h-1 for harmonic h).
  FastPrefix prefixes[kFastNodes];
  // Subset generator and the best subset of the current attempt.
  int32_t subset[kMaxSubsetLength + 1] = {};
  int32_t best_subset[kMaxSubsetLength + 1] = {};
  // Retained model of the last attempt: its harmonic pairs J*, its parameter
  // count P* (0 when nothing was retained), its triangular block (leading
  // dimension kSolverDim; the inverse once solved) and right-hand side, as the
  // literal engine leaves them in LsqWorkspace.
  int32_t retained_pairs = 0;
  int32_t retained_params = 0;
  double retained_block[kSolverDim * kSolverDim] = {};
  double retained_rhs[kSolverDim] = {};

 private:
  int32_t capacity_;
  int32_t stride_;
};

// Same arguments and results as select_and_fit, bit for bit: evaluates the
// first min(series.nb, series.x->rows(), fw->capacity()) time steps. ws serves
// the literal engine where the fast one hands over (see above); it must hold
// at least as many time steps as fw for the results to be the same.
void select_and_fit_fast(const SelectionFitOptions& options, const FitSeries& series, double* par, double* yf,
                         SelectionFitSummary* summary, LsqWorkspace* ws, FastFitWorkspace* fw);

// True when select_and_fit_fast would compute a fit of the first
// min(series.nb, series.x->rows()) time steps with this cap itself rather
// than hand it to the literal engine (exposed for the tests).
bool fast_fit_applies(const FitSeries& series, int32_t cap);

}  // namespace tsr
