#include "lsq/fast_reflection.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "lsq/fit_common.h"

// How a step is applied
// =====================
//
// Indices here run from the pivot row (row l is 0). The entries of the
// reflection are H(i,q) = nw(min(i,q)) * u(max(i,q)), plus 1.0 when i = q,
// with nw = -(beta * u) (select_fit_fast.cc, point 3). A kernel sums
// T(i,j) = H(i,0) * A(0,j) + ... + H(rows-1,j) * A(rows-1,j) from +0.0 for a
// block of rows i (W lanes per vector, RV vectors) and NC columns j at once,
// each lane adding its terms in order of q. Within the block the entry of
// every term is formed where it is used, never stored in a matrix:
//   - q below the block's first row: every row i of the block lies past q,
//     H(i,q) = nw(q) * u(i);
//   - q past the block's last row: H(i,q) = nw(i) * u(q);
//   - q within the block: the same two products for the vectors of the block
//     that lie wholly past or before q, and, for the vector that holds row q,
//     its W entries taken from `diagonal`, where they were formed once per
//     step with the same products and the 1.0 on the diagonal.
// So each term is the literal's product of the literal's entry, and the work
// per step is proportional to rows^2 * columns with nothing stored but W
// entries per row.

namespace tsr {

FastReflection FastReflection::of(FastFitWorkspace& fw) {
  FastReflection r;
  r.kernel = fw.kernel;
  r.u = fw.reflector.data();
  r.nw = fw.negated_scaled_reflector.data();
  r.diagonal = fw.diagonal.data();
  return r;
}

namespace {

// What a kernel reads of one step; every pointer at the pivot row.
struct Step {
  const double* u;         // rows 0..rows-1, zeros after them up to the next multiple of 8
  const double* nw;        // -(beta * u), likewise
  const double* diagonal;  // row q's W entries at q * W (fast_kernels.inc)
  int rows;                // used - l + 1
};

// ---------------------------------------------------------------------------
// Kernels: one body (fast_kernels.inc) compiled three times, for AVX-512,
// for AVX2 and for the baseline SSE2. IEEE multiplication and addition are
// exact per lane, so all give the same bits; the choice is the workspace's.

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));
typedef int64_t v2l __attribute__((vector_size(16)));
typedef int64_t v4l __attribute__((vector_size(32)));
typedef int64_t v8l __attribute__((vector_size(64)));

// Every lane of v set to a: a bit copy, a negative zero stays negative. By
// reference: a vector wider than 16 bytes passed by value would change the
// ABI.

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace avx512 {
using V = v8d;
using M = v8l;
[[gnu::always_inline]] inline void splat(V& v, double a) { v = V{a, a, a, a, a, a, a, a}; }
[[gnu::always_inline]] inline void splat(M& v, int64_t a) { v = M{a, a, a, a, a, a, a, a}; }
[[gnu::always_inline]] inline void lane_numbers(M& v) { v = M{0, 1, 2, 3, 4, 5, 6, 7}; }
#include "lsq/fast_kernels.inc"
}  // namespace avx512
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
using V = v4d;
using M = v4l;
[[gnu::always_inline]] inline void splat(V& v, double a) { v = V{a, a, a, a}; }
[[gnu::always_inline]] inline void splat(M& v, int64_t a) { v = M{a, a, a, a}; }
[[gnu::always_inline]] inline void lane_numbers(M& v) { v = M{0, 1, 2, 3}; }
#include "lsq/fast_kernels.inc"
}  // namespace avx2
#pragma GCC pop_options

namespace sse2 {
using V = v2d;
using M = v2l;
[[gnu::always_inline]] inline void splat(V& v, double a) { v = V{a, a}; }
[[gnu::always_inline]] inline void splat(M& v, int64_t a) { v = M{a, a}; }
[[gnu::always_inline]] inline void lane_numbers(M& v) { v = M{0, 1}; }
#include "lsq/fast_kernels.inc"
}  // namespace sse2

// One step on every column of cols with the kernel of r.
void reflect_all(const FastReflection& r, int32_t l, int32_t used, double beta, const StepColumns& cols) {
  Step s;
  s.u = r.u + (l - 1);
  s.nw = r.nw + (l - 1);
  s.diagonal = r.diagonal;
  s.rows = used - l + 1;
  double* nw = r.nw + (l - 1);
  switch (r.kernel) {
    case FastKernel::kAvx512: avx512::reflect_all(s, cols, l, beta, nw, r.diagonal); break;
    case FastKernel::kAvx2: avx2::reflect_all(s, cols, l, beta, nw, r.diagonal); break;
    case FastKernel::kSse2: sse2::reflect_all(s, cols, l, beta, nw, r.diagonal); break;
  }
}

// The reflection of pivot row l (1-based) defined by col over rows l..used,
// as householder_step computes it (set_up_reflector): fills the reflector u
// over rows l..used and zeros in the kFastMaxLanes - 1 rows after them (the
// padding of the last vector), and sets beta. False when the step would
// leave the matrix unchanged (pivot row past the used rows, or no length
// below it).
bool set_up(const double* col, int32_t l, int32_t used, const FastReflection& r, double& beta) {
  if (l < 1 || l > used) return false;
  if (!set_up_reflector(col, l, used, r.u, beta)) return false;
  for (int32_t i = used + 1; i < used + kFastMaxLanes; ++i) r.u[i - 1] = 0.0;
  return true;
}

}  // namespace

bool fast_kernel_supported(FastKernel kernel) {
  switch (kernel) {
    case FastKernel::kSse2: return true;
    case FastKernel::kAvx2: return __builtin_cpu_supports("avx2") != 0;
    case FastKernel::kAvx512: return __builtin_cpu_supports("avx512f") != 0;
  }
  return false;
}

FastKernel widest_fast_kernel() {
  if (fast_kernel_supported(FastKernel::kAvx512)) return FastKernel::kAvx512;
  if (fast_kernel_supported(FastKernel::kAvx2)) return FastKernel::kAvx2;
  return FastKernel::kSse2;
}

bool apply_step(const FastReflection& r, const double* pivot, const StepRows& rows, const StepColumns& cols) {
  const int32_t l = rows.l;
  const int32_t used = rows.used;
  const int32_t from = rows.kept_from - 1;  // first kept row, 0-based
  double beta = 0.0;
  if (!set_up(pivot, l, used, r, beta)) {
    const size_t bytes = static_cast<size_t>(rows.extent - from) * sizeof(double);
    for (int c = 0; c < cols.count; ++c) std::memcpy(cols.dst[c] + from, cols.src[c] + from, bytes);
    return false;
  }
  // Rows above the pivot: A(i,j) + 0.0 (select_fit_fast.cc, point 2).
  for (int c = 0; c < cols.count; ++c) {
    for (int32_t i = from; i < l - 1; ++i) cols.dst[c][i] = cols.src[c][i] + 0.0;
  }
  reflect_all(r, l, used, beta, cols);
  // Rows past the used samples are never touched by a step.
  if (rows.extent > used) {
    const size_t tail = static_cast<size_t>(rows.extent - used) * sizeof(double);
    for (int c = 0; c < cols.count; ++c) std::memcpy(cols.dst[c] + used, cols.src[c] + used, tail);
  }
  return true;
}

double reflect_onto_itself(const FastReflection& r, const double* col, int32_t l, int32_t used, bool& applied) {
  double beta = 0.0;
  applied = set_up(col, l, used, r, beta);
  if (!applied) return col[l - 1];
  const double* u = r.u;
  // -(beta * u(l)): every entry of the reflection is then one product (point 3).
  const double nwl = -(beta * u[l - 1]);
  double sum = 0.0;
  sum = (nwl * u[l - 1] + 1.0) * col[l - 1] + sum;
  for (int32_t q = l + 1; q <= used; ++q) sum = (nwl * u[q - 1]) * col[q - 1] + sum;
  return sum;
}

}  // namespace tsr
