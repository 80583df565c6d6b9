#include "lsq/select_fit_fast.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "lsq/fast_reflection.h"
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
//    multiply-adds, and the vector code uses no FMA instructions). How the
//    kernels form the entries: fast_reflection.cc.
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
// triangularisation finite (any number of rows below 2^31 of
// (15 * 1e150)^2 stays far below the largest double).
constexpr double kLargestInput = 1.0e150;

// Column positions in FastFitWorkspace::model and ::scratch.
constexpr int kModelConstant = 0;
constexpr int kModelLinear = 1;
constexpr int kModelSeries = kFastModelColumns - 1;
constexpr int model_sine(int h) { return 2 * h; }
// Column positions in a prefix state.
constexpr int kStateSeries = kFastStateColumns - 1;
constexpr int state_sine(int h) { return 2 * (h - 1); }

// Column c of a buffer of columns with the given stride.
inline double* column(double* buffer, int32_t stride, int c) {
  return buffer + static_cast<std::ptrdiff_t>(c) * stride;
}

// Stored rows per column for a capacity (see FastFitWorkspace::stride), in
// 64 bits: for a capacity near INT32_MAX it does not fit 32.
int64_t stride_for(int32_t capacity) {
  const int64_t rows = int64_t{std::max<int32_t>(capacity, 2 * kFastMaxCap + 3)} + kFastMaxLanes - 1;
  return (rows + kFastMaxLanes - 1) / kFastMaxLanes * kFastMaxLanes;
}

size_t doubles(int64_t stride, int columns) { return static_cast<size_t>(stride) * static_cast<size_t>(columns); }

// Columns of stride() rows the workspace holds: model, scratch and the two
// rebuild buffers, the states of every depth, the reflector and its scaled
// negation, and the near-diagonal entries.
constexpr int kFastStoredColumns = 4 * kFastModelColumns + (kFastMaxCap + 1) * kFastStateColumns + 2 + kFastMaxLanes;

// ---------------------------------------------------------------------------
// The prefix tree

struct TreeContext {
  FastFitWorkspace& fw;
  FastReflection reflection;
  int32_t cap;     // highest harmonic of the tree
  int32_t used;    // used samples (the rows of the literal's work matrix)
  int32_t extent;  // rows kept per column: max(used, 2 * cap + 3)

  double* state(int32_t depth) const {
    return fw.state.data() + static_cast<std::ptrdiff_t>(depth) * kFastStateColumns * fw.stride();
  }
  double* column_of(double* buffer, int c) const { return column(buffer, fw.stride(), c); }
  // The rows of the tree's step with pivot row l. Later steps and the
  // scoring read only rows from l - 1 on (the row above the pivot is the
  // first scalar of a prefix, point 5), so the rows before it are not kept.
  StepRows rows(int32_t l) const { return StepRows{l, used, extent, std::max(l - 1, 1)}; }
};

// The columns of a prefix state from the cosine of harmonic h on (h's
// cosine, the pairs of the harmonics above it up to the cap) and the series:
// what a step on the sine (cosine_first) or on the cosine of h reflects.
StepColumns later_columns(const TreeContext& t, double* from, double* to, int32_t h, bool cosine_first) {
  StepColumns cols;
  for (int c = state_sine(h) + (cosine_first ? 1 : 2); c < state_sine(t.cap) + 2; ++c) {
    cols.add(t.column_of(from, c), t.column_of(to, c));
  }
  cols.add(t.column_of(from, kStateSeries), t.column_of(to, kStateSeries));
  return cols;
}

// Extends the prefix `mask` (depth d, last harmonic last) by every harmonic
// above last, recording each new prefix and descending into it.
void descend(const TreeContext& t, int32_t depth, int32_t last, uint32_t mask) {
  FastFitWorkspace& fw = t.fw;
  double* parent = t.state(depth);
  double* child = t.state(depth + 1);
  double* mid = fw.scratch.data();
  for (int32_t h = last + 1; h <= t.cap; ++h) {
    const int32_t first_row = 2 * depth + 3;
    FastPrefix& p = fw.prefixes[mask | (1u << (h - 1))];
    // Step 2d+3: the sine of h reflects its cosine, the later pairs and the series.
    p.applied_first = apply_step(t.reflection, t.column_of(parent, state_sine(h)), t.rows(first_row),
                                 later_columns(t, parent, mid, h, true));
    // Step 2d+4: the cosine of h reflects the later pairs and the series.
    p.applied_second = apply_step(t.reflection, t.column_of(mid, state_sine(h) + 1), t.rows(first_row + 1),
                                  later_columns(t, mid, child, h, false));
    const double* series = t.column_of(child, kStateSeries);
    p.a = series[first_row - 1];
    p.b = series[first_row];
    p.last = reflect_onto_itself(t.reflection, series, first_row + 2, t.used, p.applied_last);
    if (h < t.cap) descend(t, depth + 1, h, mask | (1u << (h - 1)));
  }
}

// Reduces every prefix of harmonics 1..cap (every non-empty subset) and
// records its scoring scalars.
void build_tree(const TreeContext& t) {
  FastFitWorkspace& fw = t.fw;
  double* model = fw.model.data();
  double* scratch = fw.scratch.data();
  // Step 1: the constant column reflects the linear, harmonic and series columns.
  StepColumns first;
  for (int c = kModelLinear; c <= model_sine(t.cap) + 1; ++c) first.add(t.column_of(model, c), t.column_of(scratch, c));
  first.add(t.column_of(model, kModelSeries), t.column_of(scratch, kModelSeries));
  apply_step(t.reflection, t.column_of(model, kModelConstant), t.rows(1), first);
  // Step 2: the linear column reflects the harmonic and series columns.
  double* root = t.state(0);
  StepColumns second;
  for (int32_t h = 1; h <= t.cap; ++h) {
    for (int c = 0; c < 2; ++c) second.add(t.column_of(scratch, model_sine(h) + c), t.column_of(root, state_sine(h) + c));
  }
  second.add(t.column_of(scratch, kModelSeries), t.column_of(root, kStateSeries));
  apply_step(t.reflection, t.column_of(scratch, kModelLinear), t.rows(2), second);
  descend(t, 0, 0, 0u);
}

// Copies the used samples of the model's columns into fw.model, rows past
// them zero up to the extent. Returns the number of used samples.
int32_t gather(const FitSeries& series, int32_t cap, FastFitWorkspace& fw, int32_t& extent) {
  const FunctionMatrix& x = *series.x;
  const int32_t stride = fw.stride();
  double* model = fw.model.data();
  double* y = column(model, stride, kModelSeries);
  int32_t used = 0;
  for (int32_t i = 1; i <= series.nb; ++i) {
    if ((series.use[i - 1] & 1u) == 0) continue;
    for (int c = 0; c <= model_sine(cap) + 1; ++c) column(model, stride, c)[used] = x.at(i, c + 1);
    y[used] = series.y[i - 1];
    used = used + 1;
  }
  extent = std::max(used, 2 * cap + 3);
  for (int32_t r = used; r < extent; ++r) {
    for (int c = 0; c <= model_sine(cap) + 1; ++c) column(model, stride, c)[r] = 0.0;
    y[r] = 0.0;
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
  const int32_t stride = fw.stride();
  const int32_t retained_params = 2 * win.pairs + 2;
  const int count = retained_params + 1;
  double* from = fw.rebuild_from.data();
  double* to = fw.rebuild_to.data();
  double* model = fw.model.data();
  const size_t bytes = static_cast<size_t>(extent) * sizeof(double);
  auto take = [&](int into, int c) { std::memcpy(column(from, stride, into), column(model, stride, c), bytes); };
  take(0, kModelConstant);
  take(1, kModelLinear);
  for (int32_t k = 1; k <= win.pairs; ++k) {
    take(2 * k, model_sine(fw.best_subset[k]));
    take(2 * k + 1, model_sine(fw.best_subset[k]) + 1);
  }
  take(retained_params, kModelSeries);
  const FastReflection reflection = FastReflection::of(fw);
  for (int32_t l = 1; l <= retained_params; ++l) {
    StepColumns cols;
    for (int c = 0; c < count; ++c) cols.add(column(from, stride, c), column(to, stride, c));
    apply_step(reflection, column(from, stride, l - 1), StepRows{l, used, extent}, cols);
    std::swap(from, to);
  }
  const double zero = win.normalise ? 0.0 : -0.0;  // x + -0.0 is x, bit for bit
  for (int32_t r = 1; r <= retained_params; ++r) {
    for (int32_t p = 1; p <= retained_params; ++p) {
      solver_cell(fw.retained_block, p, r) = column(from, stride, r - 1)[p - 1] + zero;
    }
  }
  for (int32_t p = 1; p <= retained_params; ++p) {
    fw.retained_rhs[p - 1] = column(from, stride, retained_params)[p - 1] + zero;
  }
}

bool bounded(double v) { return std::fabs(v) <= kLargestInput; }  // false for NaN too

}  // namespace

uint64_t FastFitWorkspace::heap_bytes(int32_t capacity) {
  return static_cast<uint64_t>(stride_for(std::max<int32_t>(capacity, kWorkColumns))) * kFastStoredColumns *
         sizeof(double);
}

FastFitWorkspace::FastFitWorkspace(int32_t capacity)
    : capacity_(std::max<int32_t>(capacity, kWorkColumns)), stride_(static_cast<int32_t>(stride_for(capacity_))) {
  model.assign(doubles(stride_, kFastModelColumns), 0.0);
  scratch.assign(model.size(), 0.0);
  state.assign(doubles(stride_, (kFastMaxCap + 1) * kFastStateColumns), 0.0);
  rebuild_from.assign(model.size(), 0.0);
  rebuild_to.assign(model.size(), 0.0);
  reflector.assign(doubles(stride_, 1), 0.0);
  negated_scaled_reflector.assign(reflector.size(), 0.0);
  diagonal.assign(doubles(stride_, kFastMaxLanes), 0.0);
}

bool fast_fit_applies(const FitSeries& series, int32_t cap) {
  if (cap < 1 || cap > kFastMaxCap) return false;
  const FunctionMatrix& x = *series.x;
  const int32_t rows = std::min<int32_t>(series.nb, x.rows());
  for (int32_t i = 1; i <= rows; ++i) {
    if ((series.use[i - 1] & 1u) == 0) continue;
    if (!bounded(series.y[i - 1])) return false;
    for (int32_t c = 1; c <= 2 * cap + 2; ++c) {
      if (!bounded(x.at(i, c))) return false;
    }
  }
  return true;
}

void select_and_fit_fast(const SelectionFitOptions& options, const FitSeries& series, double* par, double* yf,
                         SelectionFitSummary* summary, LsqWorkspace* ws, FastFitWorkspace* fw_in) {
  FastFitWorkspace& fw = *fw_in;
  const FitShape shape = fit_shape(series.nb, options.nfunc, std::min(series.x->rows(), fw.capacity()));
  FitSeries fitted = series;
  fitted.nb = shape.rows;
  if (!fast_fit_applies(fitted, options.cap)) {
    select_and_fit(options, fitted, par, yf, summary, ws);
    return;
  }
  int32_t& cap = summary->cap;
  double& crit = summary->criterion;
  cap = options.cap;

  int32_t extent = 0;
  const int32_t used = gather(fitted, cap, fw, extent);
  build_tree(TreeContext{fw, FastReflection::of(fw), cap, used, extent});

  for (;;) {
    start_attempt(shape, par, yf, crit);
    const Winner win = score(cap, used, crit, fw);

    // The retained model and its triangular block.
    const int32_t retained_params = win.length > 0 ? 2 * win.pairs + 2 : 0;
    fw.retained_pairs = win.pairs;
    fw.retained_params = retained_params;
    if (retained_params > 0) rebuild_retained(win, used, extent, fw);
    const RetainedModel retained{fw.retained_block, fw.retained_rhs, retained_params, win.pairs, fw.best_subset};
    if (solve_and_accept(shape, *series.x, retained, par, yf)) return;

    if (!lower_cap_or_fail(shape.params, shape.rows, par, yf, cap)) return;
  }
}

}  // namespace tsr
