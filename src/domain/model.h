// The model of a pixel's series and what it takes to have one: the bands a
// run accepts, the harmonic table, the layout and names of the parameters,
// and the no-model rule, on a fit's outcome and on the stored products.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tsr {

// Time steps (bands) of a series a run accepts.
inline constexpr int kMinBands = 3;
inline constexpr int kMaxBands = 200;

// Harmonic pairs of the model a run may ask for (NFUNC 0..kMaxHarmonics):
// harmonic k completes harmonic_frequencies[k - 1] cycles in NPOINT time
// steps.
inline constexpr int kMaxHarmonics = 6;
inline constexpr int32_t harmonic_frequencies[kMaxHarmonics] = {1, 2, 3, 4, 6, 12};

// The linear basis function at time step t is t times this: the trend is the
// change per ten time steps.
inline constexpr double kLinearTermStep = 0.1;

// The parameters of a model of nfunc harmonics, as the planes of p.bsq:
// the constant, the trend, then amplitude and phase of each harmonic. The
// constant, the trend and the amplitudes are in the scaled units of the
// series (raw / kRawScale), the phases in radians.
constexpr int32_t parameter_count(int32_t nfunc) { return 2 * nfunc + 2; }
inline constexpr int kMaxParams = parameter_count(kMaxHarmonics);
inline constexpr int32_t kConstantPlane = 0;
inline constexpr int32_t kTrendPlane = 1;
constexpr int32_t amplitude_plane(int32_t harmonic) { return 2 * harmonic; }
constexpr int32_t phase_plane(int32_t harmonic) { return 2 * harmonic + 1; }
constexpr bool is_phase_plane(int32_t plane) { return plane >= phase_plane(1) && plane % 2 == 1; }

// The name of a plane of p.bsq: "constant", "trend", "amplitude_k", "phase_k".
std::string parameter_name(int32_t plane);
// The names of the parameter_count(nfunc) planes, in order.
std::vector<std::string> parameter_names(int32_t nfunc);

// ---------------------------------------------------------------------------
// The no-model rule
//
// A model needs kMinModelOrder harmonics. Where a pixel has none, the
// program stores zeros in f.bsq, p.bsq, min.dat and max.dat, and 0 is also a
// legal value there, so the rule is what tells the two apart. It has two
// forms:
//
// - On the fit's outcome (what the reconstruction decides): the final fit
//   gave up (criterion exactly 0.0) or its order is below kMinModelOrder
//   (1, 0, or -1 for a fit that gave up early). Such a pixel gets zeros.
// - On the stored products (what a reader of the files can tell): the order
//   of order.dat is below kMinModelOrder, or every plane of p.bsq is exactly
//   0.
//
// Every pixel without a model by the first form has none by the second: its
// parameters are stored as zeros. The second also catches a pixel whose fit
// retained no model at all: its order stays above 1 and its criterion is
// 9.9e9 (the value no model beats), but its parameters are all 0 -- the
// stored products call it no model, and so does everyone who reads them.
inline constexpr int32_t kMinModelOrder = 2;

constexpr bool fit_has_no_model(double criterion, int32_t order) {
  return criterion == 0.0 || order < kMinModelOrder;
}

// The stored form for one pixel: its order.dat value (signed) and its np
// parameters at params[0], params[stride], ..., params[(np - 1) * stride].
bool stored_has_model(int8_t order, const float* params, int32_t np, ptrdiff_t stride);

}  // namespace tsr
