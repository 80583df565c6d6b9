// Capacities of the program's fixed-size storage, all in one place, and the
// relations between them that the code relies on, checked when it compiles.
// lsq is the lowest computational layer: pixel, control and the tools take
// their sizes from here. They rest on the domain's: the bands a run accepts
// (kMinBands..kMaxBands, also the capacity the function matrix and the
// working storage of the fits and of a pixel have unless they are built for
// longer series), the harmonics (kMaxHarmonics) and the parameters
// (kMaxParams) of the model.
#pragma once

#include "domain/model.h"

namespace tsr {

// Columns of the function matrix (basis functions; at most kMaxParams used).
constexpr int kMatrixColumns = 50;

// Order of the largest matrix handed to the solver, and its leading dimension.
constexpr int kSolverDim = 50;

// Longest harmonic subset the generator may build (entry 0 is a sentinel).
constexpr int kMaxSubsetLength = 50;

// Highest harmonic cap a selection fit can evaluate: its sine and cosine
// columns must lie within the function matrix.
constexpr int kMaxHarmonicCap = (kMatrixColumns - 2) / 2;

// Columns of the selection work matrix: constant, linear, a pair per
// harmonic up to the cap, and the series.
constexpr int kWorkColumns = 2 * kMaxHarmonicCap + 3;

// Band numbers cntl.dat may list as excluded: every band once.
constexpr int kMaxExcludedBands = kMaxBands;

// Highest harmonic cap the fast selection engine handles itself; above it
// the literal engine runs.
constexpr int kFastMaxCap = 8;

static_assert(kMaxParams == 14);
static_assert(kMinBands >= 1 && kMinBands <= kMaxBands);
// Every parameter of the model has a column, and every column a solver row.
static_assert(kMatrixColumns >= kMaxParams);
static_assert(kSolverDim >= kMatrixColumns);
// A harmonic cap up to kMaxHarmonicCap fits the matrix, the work matrix and
// the subset generator (a subset of 1..cap has at most cap entries).
static_assert(2 * kMaxHarmonicCap + 2 <= kMatrixColumns);
static_assert(kMaxHarmonicCap >= kMaxHarmonics);
static_assert(kWorkColumns == 2 * kMaxHarmonicCap + 3);
static_assert(kMaxSubsetLength >= kMaxHarmonicCap);
// Every band can be excluded.
static_assert(kMaxExcludedBands >= kMaxBands);
// The fast engine handles every cap a run can ask for, reads only columns
// within the function matrix and keeps a harmonic subset as bits of 32.
static_assert(kFastMaxCap >= kMaxHarmonics);
static_assert(kFastMaxCap <= kMaxHarmonicCap);
static_assert(kFastMaxCap < 32);

}  // namespace tsr
