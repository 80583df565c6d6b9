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
//   - runs the remaining sums several rows at a time in vector registers
//     (separate multiply and add; no fused multiply-add).
// Why each of these is exact is explained where it is done, in
// select_fit_fast.cc. Inputs outside the ground on which that reasoning holds
// (a value that is not finite, or so large that a sum of squares could
// overflow; a cap beyond kFastMaxCap) are handed to select_and_fit.
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"
#include "lsq/limits.h"
#include "lsq/workspace.h"

namespace tsr {

// Which engine a fit runs on. The literal engine is the yardstick the fast one
// is checked against.
enum class LsqEngine : uint8_t { kFast, kLiteral };

// The engine's capacities, kFastMaxCap (the highest cap it handles itself;
// above it the literal engine runs) and kFastStride (stored rows per column),
// are in lsq/limits.h.
// Columns of a prefix state: a sine/cosine pair per harmonic, and the series.
constexpr int kFastStateColumns = 2 * kFastMaxCap + 1;
// Columns of the gathered model: constant, linear, the pairs and the series.
constexpr int kFastModelColumns = 2 * kFastMaxCap + 3;
// Prefixes (harmonic subsets) that can be cached: one per bit pattern.
constexpr int kFastNodes = 1 << kFastMaxCap;

// True when the processor runs AVX2; the vector kernels then use 4-lane
// registers, otherwise the baseline SSE2 ones. Both give the same bits.
bool fast_wide_vectors_supported();

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

// Working storage of the fast engine for one worker. Large: create it once, on
// the heap, and reuse it for every call.
struct alignas(64) FastFitWorkspace {
  // The used samples of the model's columns in time order (row r at index
  // r - 1), column c at c * kFastStride: 0 constant, 1 linear, 2h and 2h+1
  // the sine and cosine of harmonic h, kFastModelColumns - 1 the series.
  alignas(64) double model[kFastModelColumns * kFastStride] = {};
  // The model's columns after the reflections of the constant and linear
  // columns (same layout as model; used in building the tree).
  alignas(64) double scratch[kFastModelColumns * kFastStride] = {};
  // State of each depth of the prefix tree: the columns not yet reflected on
  // (pair of harmonic h at 2(h-1) and 2(h-1)+1, series last) after the
  // reflections of the current prefix.
  alignas(64) double state[(kFastMaxCap + 1) * kFastStateColumns * kFastStride] = {};
  // Two buffers for rebuilding the retained block.
  alignas(64) double rebuild[2][kFastModelColumns * kFastStride] = {};
  // Active block of the reflection matrix (rows and columns from the pivot
  // to the last used sample), column by column with a padded row count.
  alignas(64) double reflection[kFastStride * kFastStride] = {};
  // Reflector u and -(beta * u) of the current reflection, indexed by row - 1.
  alignas(64) double reflector[kFastStride] = {};
  alignas(64) double negated_scaled_reflector[kFastStride] = {};
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
  // Kernel choice (see fast_wide_vectors_supported); tests switch it.
  bool wide_vectors = fast_wide_vectors_supported();
};

// Same arguments and results as select_and_fit, bit for bit; ws serves the
// literal engine where the fast one hands over (see above).
void select_and_fit_fast(int32_t nb, int32_t nfunc, const double* y, const uint8_t* use,
                         const FunctionMatrix& x, double* par, double* yf, int32_t& cap,
                         double& crit, LsqWorkspace& ws, FastFitWorkspace& fw);

// True when select_and_fit_fast would compute the fit itself rather than hand
// it to the literal engine (exposed for the tests).
bool fast_fit_applies(int32_t nb, const double* y, const uint8_t* use, const FunctionMatrix& x,
                      int32_t cap);

}  // namespace tsr
