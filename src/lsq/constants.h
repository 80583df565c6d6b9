// The numbers of the screening, the fits and the reduction to the stored
// results, each named once. Every value keeps the type it has always had: a
// 4-byte real widened to 8 bytes is a different number from the 8-byte
// literal of the same digits, and the products depend on the exact bits.
// The domain's words (raw values, the harmonic table, the model's layout,
// the stored values) are in src/domain, included here for the fits.
#pragma once

#include <cstdint>

#include "domain/model.h"
#include "domain/raw.h"
#include "lsq/limits.h"

namespace tsr {

// ---------------------------------------------------------------------------
// Screening and the model

// Harmonics of the preliminary fit, whose residuals screen out clouds.
inline constexpr int32_t kPreliminaryHarmonics = 3;
// The screening thresholds are TCLD on one side of the preliminary fit and
// this factor times TCLD on the other (which side depends on FITMD).
inline constexpr double kWideThresholdFactor = 2.0;
// Long gaps cannot support the short-period harmonics: a longest gap of more
// than `longer_than` time steps caps the order of the final fit at `order`.
// The caps apply in this order.
struct GapOrderCap {
  int32_t longer_than;
  int32_t order;
};
inline constexpr GapOrderCap kGapOrderCaps[] = {{7, 5}, {13, 4}, {19, 3}};

// pi as a 4-byte real, widened: 3.1415927410125732. The information
// criterion and the phases of the harmonics use it.
inline constexpr double kPiSingle = static_cast<double>(3.14159265f);

// ---------------------------------------------------------------------------
// Least squares

// Below this length a column is not reflected.
inline constexpr double kMinColumnNorm = 1.0e-60;
// A model whose residual variance is not above this is not scored.
inline constexpr double kMinVariance = 1.0e-20;
// Gauss-Jordan multipliers of smaller magnitude are taken as zero.
inline constexpr double kMultiplierFlush = 1.0e-31;

// Criterion value of a model that is never beaten; also what a fit without
// any scored model reports.
inline constexpr double kNoCriterion = 9.9e9;

// A fitted curve is accepted when it lies within [kAcceptFloor, kAcceptCeiling];
// the running extremes of that test start from the seeds.
inline constexpr double kAcceptFloor = 0.0;
inline constexpr double kAcceptCeiling = 1.0;
inline constexpr double kAcceptLowSeed = 9.0e9;
inline constexpr double kAcceptHighSeed = -9.0e9;

// ---------------------------------------------------------------------------
// Gap filling and the envelope filters

// Two points closer than this cannot define an interpolating line.
inline constexpr double kMinInterpolationSpan = 1e-10;
// Start values of the running maxima (fill_dips) and minima (clip_peaks), and
// the guards that turn a result still beyond them into 0.0.
inline constexpr double kEnvelopeMaxSeed = -9.9e99;
inline constexpr double kEnvelopeMinSeed = 9.9e99;
inline constexpr double kEnvelopeLowGuard = -1e10;
inline constexpr double kEnvelopeHighGuard = 1e10;

// ---------------------------------------------------------------------------
// Reduction to the stored results

// Start values of the running extremes of the final fit.
inline constexpr double kFittedMaxSeed = -9900000000.0;
inline constexpr double kFittedMinSeed = 9900000000.0;
// A minimum above this is stored as 0.
inline constexpr double kLargestStoredMinimum = 10.0;
// A harmonic whose amplitude is not above this has amplitude and phase 0.
inline constexpr double kMinAmplitude = 1e-40;
// A sine coefficient of smaller magnitude gives a phase of a quarter turn.
inline constexpr double kMinSineCoefficient = 1e-10;

}  // namespace tsr
