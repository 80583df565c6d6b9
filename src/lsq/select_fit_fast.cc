#include "lsq/select_fit_fast.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "lsq/fit_common.h"
#include "lsq/select_fit.h"
#include "lsq/subsets.h"

// Why the fast engine gives the bits of the literal one
// ======================================================
//
// The literal reflection of step (l, k) on the work matrix A (M used rows,
// finite entries) builds u (u(i) = 0 for i < l, u(i) = A(i,k) for i >= l,
// u(l) = alpha + A(l,k)), beta = 1 / (a * alpha + s), the matrix
// H(i,j) = -((beta * u(i)) * u(j)) for i <= j (plus 1.0 on the diagonal) with
// H(j,i) a copy of H(i,j), and T(i,j) = sum over q = 1..M of H(i,q) * A(q,j),
// accumulated from +0.0 upward in q. The two engines set u and beta up with
// the same code (set_up_reflector, fit_common.h).
//
// 1. beta is finite and positive: a * alpha >= 0 because alpha carries the
//    sign bit of a, and s > 0 once sigma >= 1e-60; and with every input below
//    kLargestInput in magnitude no sum of squares can overflow (the
//    reflections keep column lengths). So beta * u(i) is finite for every i,
//    and +0.0 for i < l.
// 2. Rows i < l: H(i,q) for q != i is -(0 * u(q)) or -(w * 0), a signed
//    zero, and H(i,i) = -(0 * 0) + 1.0 = 1.0. The sum therefore runs
//    +0.0, +0.0, ..., A(i,j) + 0.0, ... and ends as A(i,j) + 0.0: the row is
//    unchanged except that a -0.0 becomes +0.0.
// 3. Rows i >= l: the terms q < l are signed zeros added to the running sum
//    +0.0, which stays +0.0; so T(i,j) is the sum from +0.0 over q = l..M of
//    H(i,q) * A(q,j), in that order, and H(i,q) = -(w(min) * u(max)) with
//    w(p) = beta * u(p), plus 1.0 when i = q. The fast engine forms exactly
//    these entries and these sums; vector registers hold the sums of several
//    rows i side by side, each of which still adds its q terms in order, with
//    a separate multiply and add (the build forbids contraction into fused
//    multiply-adds, and the vector code uses no FMA instructions).
// 4. T(i,j) reads only column j of A, and the reflection of step k depends
//    only on column k as it stands before that step. So a column's state after
//    a run of steps depends only on its original values and on the columns
//    that defined those steps. The work matrix of a subset s(1) < ... < s(L)
//    is [constant, linear, pairs of s(1..L), series]: every subset starting
//    with the harmonics h(1..d) shares steps 1..2d+2, and the state of any
//    column after them. The subsets, in generator order, are visited as a
//    tree of prefixes; each prefix is reduced once.
// 5. What scoring reads of subset s(1..L) with nc = 2L+3: Z(nc,nc) after the
//    last step, and Z(2J+3,nc), Z(2J+4,nc) for J < L. Row r of any column is
//    final after step r (later steps only add +0.0, and squaring removes the
//    sign of a zero). So these are the series column's rows 2d+1 and 2d+2
//    after the steps of prefix s(1..d), d = J+1, and the reflection of the
//    series column onto itself at row 2L+3 -- scalars of the prefixes alone,
//    which do not depend on the cap. They are kept for every prefix, so that
//    the attempt after a rejection (a lower cap, the same y, flags and used samples)
//    scores its subsets, all prefixes of the first attempt's tree, at once.
// 6. The retained block of prefix J of subset s(1..L) is Z(p,r), p, r <= P* =
//    2J+2, after all nc steps. Steps after P* leave rows <= P* as they are but
//    for the +0.0 normalisation, and only when at least one of them changed
//    anything (a step with its pivot row past the used samples, or with a
//    column without length, returns early and normalises nothing). Only the
//    block retained last is ever solved, so the engine notes which prefix won
//    and whether the normalisation applies, and rebuilds that block once per
//    attempt from the original columns, applying steps 1..P* to all of its
//    columns (the already reduced ones included, as the literal does).
// 7. Scoring itself -- the order of the subsets, J = L down to 1 within each,
//    the residual sums, the criterion and the strict "<" -- is the literal
//    code (score_nested_models, fit_common.h), and so are the start of an
//    attempt, the solve, the fitted series and the acceptance test.

namespace tsr {

namespace {

// Inputs at or below this magnitude keep every sum of squares of the
// triangularisation finite (kMaxBands rows of (15 * 1e150)^2 stay far below
// the largest double).
constexpr double kLargestInput = 1.0e150;

// Column positions in FastFitWorkspace::model and ::scratch.
constexpr int kModelConstant = 0;
constexpr int kModelLinear = 1;
constexpr int kModelSeries = kFastModelColumns - 1;
constexpr int model_sine(int h) { return 2 * h; }
// Column positions in a prefix state.
constexpr int kStateSeries = kFastStateColumns - 1;
constexpr int state_sine(int h) { return 2 * (h - 1); }

inline double* column(double* buffer, int c) { return buffer + static_cast<std::ptrdiff_t>(c) * kFastStride; }
inline double* state_buffer(FastFitWorkspace& fw, int depth) {
  return fw.state + static_cast<std::ptrdiff_t>(depth) * kFastStateColumns * kFastStride;
}

// ---------------------------------------------------------------------------
// Kernels. Compiled twice from one body: for AVX2 and for the baseline SSE2.
// IEEE multiplication and addition are exact per lane, so both give the same
// bits; the choice is made once per workspace from the processor's support.

typedef double v4d __attribute__((vector_size(32)));  // AVX2 register
typedef double v2d __attribute__((vector_size(16)));  // SSE2 register

// Lanes of a vector type.
template <typename V>
constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));

// Sets every lane of v to a (a bit copy: a negative zero stays negative).
// By reference: a 32-byte vector returned by value would change the ABI.
[[gnu::always_inline]] inline void splat(v4d& v, double a) { v = v4d{a, a, a, a}; }
[[gnu::always_inline]] inline void splat(v2d& v, double a) { v = v2d{a, a}; }

// Rows of the active block are padded to a multiple of the vector width.
constexpr int padded_rows(int rows) { return (rows + 3) & ~3; }

// Entry (i, q) of the reflection (indices from the pivot row), one at a time.
[[gnu::always_inline]] inline double entry(const double* u, const double* nw, int i, int q) {
  if (i < q) return nw[i] * u[q];
  if (i == q) return nw[q] * u[q] + 1.0;
  return nw[q] * u[i];
}

// Fills the active block of the reflection matrix, rows and columns l..used,
// column by column with padded rows: entry (i, q) is nw(i) * u(q) above the
// diagonal, nw(q) * u(i) below it and nw(q) * u(q) + 1.0 on it, with
// nw = -(beta * u) -- the literal's -((beta * u(min)) * u(max)), bit for bit.
// Each column is one vector run above the diagonal, the vector holding the
// diagonal entry lane by lane, and one vector run below it; the padding rows
// read u and nw as zero (see prepare_reflection) and only ever reach sums of
// rows past the used ones.
template <typename V>
[[gnu::always_inline]] inline void form_reflection(const double* u, const double* nw, double* h, int l,
                                                   int used) {
  constexpr int W = kLanes<V>;
  const int rows = used - l + 1;
  const int padded = padded_rows(rows);
  const double* ul = u + (l - 1);
  const double* nwl = nw + (l - 1);
  for (int qq = 0; qq < rows; ++qq) {
    double* hc = h + static_cast<std::ptrdiff_t>(qq) * padded;
    const double uq = ul[qq];
    const double nwq = nwl[qq];
    V uqv;
    V nwqv;
    splat(uqv, uq);
    splat(nwqv, nwq);
    const int diagonal_chunk = (qq / W) * W;
    for (int ii = 0; ii < diagonal_chunk; ii += W) {
      V nwv;
      std::memcpy(&nwv, nwl + ii, sizeof nwv);
      const V e = nwv * uqv;
      std::memcpy(hc + ii, &e, sizeof e);
    }
    for (int ii = diagonal_chunk; ii < diagonal_chunk + W; ++ii) hc[ii] = entry(ul, nwl, ii, qq);
    for (int ii = diagonal_chunk + W; ii < padded; ii += W) {
      V uv;
      std::memcpy(&uv, ul + ii, sizeof uv);
      const V e = nwqv * uv;
      std::memcpy(hc + ii, &e, sizeof e);
    }
  }
}

// T = H * A for a block of W * RV rows (from ib; W lanes per vector) of NC
// columns: each sum starts at +0.0 and adds H(i,q) * A(q,j) for q = l..used
// in order. src and dst point at row l.
template <typename V, int RV, int NC>
[[gnu::always_inline]] inline void reflect_block(const double* h, int rows, int padded, int ib,
                                                 const double* const* src, double* const* dst) {
  constexpr int W = kLanes<V>;
  // The loops over c and r are unrolled so that the sums live in registers.
  V acc[NC][RV];
#pragma GCC unroll 16
  for (int c = 0; c < NC; ++c) {
#pragma GCC unroll 16
    for (int r = 0; r < RV; ++r) acc[c][r] = V{};
  }
  const double* hq = h + ib;
  for (int q = 0; q < rows; ++q, hq += padded) {
    V hv[RV];
#pragma GCC unroll 16
    for (int r = 0; r < RV; ++r) std::memcpy(&hv[r], hq + W * r, sizeof hv[r]);
#pragma GCC unroll 16
    for (int c = 0; c < NC; ++c) {
      V av;
      splat(av, src[c][q]);
#pragma GCC unroll 16
      for (int r = 0; r < RV; ++r) {
        const V p = hv[r] * av;
        acc[c][r] = p + acc[c][r];
      }
    }
  }
#pragma GCC unroll 16
  for (int c = 0; c < NC; ++c) {
#pragma GCC unroll 16
    for (int r = 0; r < RV; ++r) std::memcpy(dst[c] + ib + W * r, &acc[c][r], sizeof acc[c][r]);
  }
}

// All row blocks of NC columns: blocks of W * RV rows (enough independent
// sums to keep the adder busy), then single vectors for the rest. dst
// receives `padded` rows: the rows past the used ones are overwritten and
// must be restored by the caller.
template <typename V, int RV, int NC>
[[gnu::always_inline]] inline void reflect_columns(const double* h, int rows, int padded, const double* const* src,
                                                   double* const* dst) {
  constexpr int W = kLanes<V>;
  int ib = 0;
  for (; ib + W * RV <= padded; ib += W * RV) reflect_block<V, RV, NC>(h, rows, padded, ib, src, dst);
  for (; ib < padded; ib += W) reflect_block<V, 1, NC>(h, rows, padded, ib, src, dst);
}

// One step on `count` columns. Block shapes: about 8 to 12 sums in
// registers, out of 16.
template <typename V>
[[gnu::always_inline]] inline void reflect_all(const double* u, const double* nw, double* h, int l, int used,
                                               const double* const* src, double* const* dst, int count) {
  const int rows = used - l + 1;
  const int padded = padded_rows(rows);
  constexpr bool wide = kLanes<V> == 4;
  const double* s[4];
  double* d[4];
  form_reflection<V>(u, nw, h, l, used);
  for (int c0 = 0; c0 < count; c0 += 4) {
    const int nc = std::min(4, count - c0);
    for (int c = 0; c < nc; ++c) {
      s[c] = src[c0 + c] + (l - 1);
      d[c] = dst[c0 + c] + (l - 1);
    }
    switch (nc) {
      case 4: reflect_columns<V, wide ? 3 : 2, 4>(h, rows, padded, s, d); break;
      case 3: reflect_columns<V, 3, 3>(h, rows, padded, s, d); break;
      case 2: reflect_columns<V, 4, 2>(h, rows, padded, s, d); break;
      default: reflect_columns<V, 6, 1>(h, rows, padded, s, d); break;
    }
  }
}

__attribute__((target("avx2"))) void reflect_all_avx2(const double* u, const double* nw, double* h, int l,
                                                       int used, const double* const* src, double* const* dst,
                                                       int count) {
  reflect_all<v4d>(u, nw, h, l, used, src, dst, count);
}

void reflect_all_sse2(const double* u, const double* nw, double* h, int l, int used, const double* const* src,
                      double* const* dst, int count) {
  reflect_all<v2d>(u, nw, h, l, used, src, dst, count);
}

// ---------------------------------------------------------------------------
// Steps

// The reflection of pivot row l (1-based) defined by col over rows l..used,
// as householder_step computes it (set_up_reflector): fills the reflector u
// and nw = -(beta * u) over rows l..used. False when the step would leave the
// matrix unchanged (pivot row past the used rows, or no length below it).
bool prepare_reflection(const double* col, int32_t l, int32_t used, FastFitWorkspace& fw) {
  if (l < 1 || l > used) return false;
  double* u = fw.reflector;
  double* nw = fw.negated_scaled_reflector;
  double beta = 0.0;
  if (!set_up_reflector(col, l, used, u, beta)) return false;
  // -(beta * u(i)): every entry of the reflection is then one product,
  // -((beta * u(i)) * u(j)) = (-(beta * u(i))) * u(j) exactly.
  for (int32_t i = l; i <= used; ++i) nw[i - 1] = -(beta * u[i - 1]);
  // Zeros for the padding rows of the reflection block (the three rows after
  // the used ones).
  for (int32_t i = used + 1; i <= used + 3; ++i) {
    u[i - 1] = 0.0;
    nw[i - 1] = 0.0;
  }
  return true;
}

// One step (pivot row l, reflector column pivot, used rows 1..used) applied
// to `count` columns, src[c] -> dst[c] (distinct storage), over rows
// 1..extent. Returns whether the step changed anything; if not, dst is a copy
// of src.
bool apply_step(const double* pivot, int32_t l, int32_t used, int32_t extent, const double* const* src,
                double* const* dst, int count, FastFitWorkspace& fw) {
  const size_t bytes = static_cast<size_t>(extent) * sizeof(double);
  if (!prepare_reflection(pivot, l, used, fw)) {
    for (int c = 0; c < count; ++c) std::memcpy(dst[c], src[c], bytes);
    return false;
  }
  // Rows above the pivot: A(i,j) + 0.0 (point 2 above).
  for (int c = 0; c < count; ++c) {
    for (int32_t i = 1; i < l; ++i) dst[c][i - 1] = src[c][i - 1] + 0.0;
  }
  if (fw.wide_vectors) {
    reflect_all_avx2(fw.reflector, fw.negated_scaled_reflector, fw.reflection, l, used, src, dst, count);
  } else {
    reflect_all_sse2(fw.reflector, fw.negated_scaled_reflector, fw.reflection, l, used, src, dst, count);
  }
  // Rows past the used samples are never touched by a step.
  if (extent > used) {
    const size_t tail = static_cast<size_t>(extent - used) * sizeof(double);
    for (int c = 0; c < count; ++c) std::memcpy(dst[c] + used, src[c] + used, tail);
  }
  return true;
}

// Row l of col after the reflection of pivot row l defined by col itself
// (the last step of a subset, on the series column): the sum from +0.0 of
// H(l,q) * col(q), q = l..used. `applied` tells whether the step changed
// anything.
double reflect_onto_itself(const double* col, int32_t l, int32_t used, bool& applied, FastFitWorkspace& fw) {
  applied = prepare_reflection(col, l, used, fw);
  if (!applied) return col[l - 1];
  const double* u = fw.reflector;
  const double nwl = fw.negated_scaled_reflector[l - 1];
  double sum = 0.0;
  sum = (nwl * u[l - 1] + 1.0) * col[l - 1] + sum;
  for (int32_t q = l + 1; q <= used; ++q) sum = (nwl * u[q - 1]) * col[q - 1] + sum;
  return sum;
}

// ---------------------------------------------------------------------------
// The prefix tree

struct TreeContext {
  FastFitWorkspace& fw;
  int32_t cap;     // highest harmonic of the tree
  int32_t used;    // used samples (the rows of the literal's work matrix)
  int32_t extent;  // rows kept per column: max(used, 2 * cap + 3)
};

// Extends the prefix `mask` (depth d, last harmonic last) by every harmonic
// above last, recording each new prefix and descending into it.
void descend(const TreeContext& t, int32_t depth, int32_t last, uint32_t mask) {
  FastFitWorkspace& fw = t.fw;
  double* parent = state_buffer(fw, depth);
  double* child = state_buffer(fw, depth + 1);
  double* mid = fw.scratch;
  const double* src[kFastStateColumns];
  double* dst[kFastStateColumns];
  for (int32_t h = last + 1; h <= t.cap; ++h) {
    const int32_t first_row = 2 * depth + 3;
    // Step 2d+3: the sine of h reflects its cosine, the later pairs and the series.
    int count = 0;
    for (int c = state_sine(h) + 1; c < state_sine(t.cap) + 2; ++c) {
      src[count] = column(parent, c);
      dst[count] = column(mid, c);
      ++count;
    }
    src[count] = column(parent, kStateSeries);
    dst[count] = column(mid, kStateSeries);
    ++count;
    FastPrefix& p = fw.prefixes[mask | (1u << (h - 1))];
    p.applied_first =
        apply_step(column(parent, state_sine(h)), first_row, t.used, t.extent, src, dst, count, fw);
    // Step 2d+4: the cosine of h reflects the later pairs and the series.
    count = 0;
    for (int c = state_sine(h) + 2; c < state_sine(t.cap) + 2; ++c) {
      src[count] = column(mid, c);
      dst[count] = column(child, c);
      ++count;
    }
    src[count] = column(mid, kStateSeries);
    dst[count] = column(child, kStateSeries);
    ++count;
    p.applied_second =
        apply_step(column(mid, state_sine(h) + 1), first_row + 1, t.used, t.extent, src, dst, count, fw);
    const double* series = column(child, kStateSeries);
    p.a = series[first_row - 1];
    p.b = series[first_row];
    p.last = reflect_onto_itself(series, first_row + 2, t.used, p.applied_last, fw);
    if (h < t.cap) descend(t, depth + 1, h, mask | (1u << (h - 1)));
  }
}

// Reduces every prefix of harmonics 1..cap (every non-empty subset) and
// records its scoring scalars.
void build_tree(const TreeContext& t) {
  FastFitWorkspace& fw = t.fw;
  const double* src[kFastModelColumns];
  double* dst[kFastModelColumns];
  // Step 1: the constant column reflects the linear, harmonic and series columns.
  int count = 0;
  for (int c = kModelLinear; c <= model_sine(t.cap) + 1; ++c) {
    src[count] = column(fw.model, c);
    dst[count] = column(fw.scratch, c);
    ++count;
  }
  src[count] = column(fw.model, kModelSeries);
  dst[count] = column(fw.scratch, kModelSeries);
  ++count;
  apply_step(column(fw.model, kModelConstant), 1, t.used, t.extent, src, dst, count, fw);
  // Step 2: the linear column reflects the harmonic and series columns.
  double* root = state_buffer(fw, 0);
  count = 0;
  for (int32_t h = 1; h <= t.cap; ++h) {
    for (int c = 0; c < 2; ++c) {
      src[count] = column(fw.scratch, model_sine(h) + c);
      dst[count] = column(root, state_sine(h) + c);
      ++count;
    }
  }
  src[count] = column(fw.scratch, kModelSeries);
  dst[count] = column(root, kStateSeries);
  ++count;
  apply_step(column(fw.scratch, kModelLinear), 2, t.used, t.extent, src, dst, count, fw);
  descend(t, 0, 0, 0u);
}

// Copies the used samples of the model's columns into fw.model, rows past
// them zero up to the extent. Returns the number of used samples.
int32_t gather(int32_t rows, int32_t cap, const double* y, const uint8_t* use, const FunctionMatrix& x,
               FastFitWorkspace& fw, int32_t& extent) {
  int32_t used = 0;
  double* series = column(fw.model, kModelSeries);
  for (int32_t i = 1; i <= rows; ++i) {
    if ((use[i - 1] & 1u) == 0) continue;
    for (int c = 0; c <= model_sine(cap) + 1; ++c) column(fw.model, c)[used] = x.at(i, c + 1);
    series[used] = y[i - 1];
    used = used + 1;
  }
  extent = std::max(used, 2 * cap + 3);
  for (int32_t r = used; r < extent; ++r) {
    for (int c = 0; c <= model_sine(cap) + 1; ++c) column(fw.model, c)[r] = 0.0;
    series[r] = 0.0;
  }
  return used;
}

// ---------------------------------------------------------------------------
// One attempt

struct Winner {
  int32_t length = 0;     // length of the subset it was retained from
  int32_t pairs = 0;      // J*
  bool normalise = false; // a step after P* changed the matrix
};

// Scores every subset of 1..cap that contains cap, in generator order, from
// the recorded prefix scalars (the literal scoring, step for step).
Winner score(int32_t cap, int32_t used, double& crit, FastFitWorkspace& fw) {
  Winner win;
  int32_t* s = fw.subset;
  int32_t length = 0;
  for (int32_t j = 0; j <= kMaxSubsetLength; ++j) s[j] = 0;
  uint32_t prefix[kFastMaxCap + 1];
  for (;;) {
    if (!extend_subset(s, length, cap)) break;
    prefix[0] = 0u;
    for (int32_t k = 1; k <= length; ++k) prefix[k] = prefix[k - 1] | (1u << (s[k] - 1));
    const FastPrefix& whole = fw.prefixes[prefix[length]];
    score_nested_models(
        length, used, whole.last,
        [&fw, &prefix](int32_t pairs, double& a, double& b) {
          const FastPrefix& next = fw.prefixes[prefix[pairs + 1]];
          a = next.a;
          b = next.b;
        },
        crit,
        [&win, &fw, &prefix, &whole, s, length](int32_t pairs) {
          win.length = length;
          win.pairs = pairs;
          bool later = whole.applied_last;
          for (int32_t k = pairs + 1; k <= length; ++k) {
            const FastPrefix& p = fw.prefixes[prefix[k]];
            later = later || p.applied_first || p.applied_second;
          }
          win.normalise = later;
          for (int32_t k = 1; k <= length; ++k) fw.best_subset[k] = s[k];
        });
    if (!advance_subset(s, length)) break;
  }
  return win;
}

// The retained block and right-hand side of the winner: its columns reduced
// by steps 1..P* (point 6 above).
void rebuild_retained(const Winner& win, int32_t used, int32_t extent, FastFitWorkspace& fw) {
  const int32_t retained_params = 2 * win.pairs + 2;
  const int count = retained_params + 1;
  double* from = fw.rebuild[0];
  double* to = fw.rebuild[1];
  const size_t bytes = static_cast<size_t>(extent) * sizeof(double);
  std::memcpy(column(from, 0), column(fw.model, kModelConstant), bytes);
  std::memcpy(column(from, 1), column(fw.model, kModelLinear), bytes);
  for (int32_t k = 1; k <= win.pairs; ++k) {
    std::memcpy(column(from, 2 * k), column(fw.model, model_sine(fw.best_subset[k])), bytes);
    std::memcpy(column(from, 2 * k + 1), column(fw.model, model_sine(fw.best_subset[k]) + 1), bytes);
  }
  std::memcpy(column(from, retained_params), column(fw.model, kModelSeries), bytes);
  const double* src[kFastModelColumns];
  double* dst[kFastModelColumns];
  for (int32_t l = 1; l <= retained_params; ++l) {
    for (int c = 0; c < count; ++c) {
      src[c] = column(from, c);
      dst[c] = column(to, c);
    }
    apply_step(column(from, l - 1), l, used, extent, src, dst, count, fw);
    std::swap(from, to);
  }
  const double zero = win.normalise ? 0.0 : -0.0;  // x + -0.0 is x, bit for bit
  for (int32_t r = 1; r <= retained_params; ++r) {
    for (int32_t p = 1; p <= retained_params; ++p) {
      solver_cell(fw.retained_block, p, r) = column(from, r - 1)[p - 1] + zero;
    }
  }
  for (int32_t p = 1; p <= retained_params; ++p) {
    fw.retained_rhs[p - 1] = column(from, retained_params)[p - 1] + zero;
  }
}

bool bounded(double v) { return std::fabs(v) <= kLargestInput; }  // false for NaN too

}  // namespace

bool fast_wide_vectors_supported() { return __builtin_cpu_supports("avx2") != 0; }

bool fast_fit_applies(int32_t nb, const double* y, const uint8_t* use, const FunctionMatrix& x, int32_t cap) {
  if (cap < 1 || cap > kFastMaxCap) return false;
  const int32_t rows = std::min<int32_t>(nb, kMaxBands);
  for (int32_t i = 1; i <= rows; ++i) {
    if ((use[i - 1] & 1u) == 0) continue;
    if (!bounded(y[i - 1])) return false;
    for (int32_t c = 1; c <= 2 * cap + 2; ++c) {
      if (!bounded(x.at(i, c))) return false;
    }
  }
  return true;
}

void select_and_fit_fast(int32_t nb, int32_t nfunc, const double* y, const uint8_t* use, const FunctionMatrix& x,
                         double* par, double* yf, int32_t& cap, double& crit, LsqWorkspace& ws,
                         FastFitWorkspace& fw) {
  if (!fast_fit_applies(nb, y, use, x, cap)) {
    select_and_fit(nb, nfunc, y, use, x, par, yf, cap, crit, ws);
    return;
  }
  const FitShape shape = fit_shape(nb, nfunc);

  int32_t extent = 0;
  const int32_t used = gather(shape.rows, cap, y, use, x, fw, extent);
  build_tree(TreeContext{fw, cap, used, extent});

  for (;;) {
    start_attempt(shape, par, yf, crit);
    const Winner win = score(cap, used, crit, fw);

    // The retained model and its triangular block.
    const int32_t retained_params = win.length > 0 ? 2 * win.pairs + 2 : 0;
    fw.retained_pairs = win.pairs;
    fw.retained_params = retained_params;
    if (retained_params > 0) rebuild_retained(win, used, extent, fw);
    if (solve_and_accept(shape.rows, shape.model_columns, x, fw.retained_block, fw.retained_rhs, retained_params,
                         win.pairs, fw.best_subset, par, yf)) {
      return;
    }

    if (!lower_cap_or_fail(shape.params, shape.rows, par, yf, cap)) return;
  }
}

}  // namespace tsr
