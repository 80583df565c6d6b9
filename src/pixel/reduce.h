// Reduction of a fitted model to what the products hold: amplitude and phase
// of a harmonic, and the rounding of a scaled value back to raw units.
#pragma once

#include <cstdint>

namespace tsr {

// pi as a 4-byte real widened to 8 bytes; the phases are computed with it.
constexpr double kPhasePi = 3.1415927410125732;
// 0.49 as a 4-byte real widened to 8 bytes: the rounding offset of the extremes.
constexpr double kRawRoundingOffset = static_cast<double>(0.49f);

// The harmonic sk * sin(x) + ck * cos(x) as amplitude * sin(x + phase).
// amplitude = sqrt(sk * sk + ck * ck); an amplitude at or below 1e-40 gives
// (0.0, 0.0). The quadrant follows the sign bits of sk and ck (-0.0 counts as
// negative); a sine coefficient below 1e-10 in magnitude gives a quarter turn.
void harmonic_amplitude_phase(double sk, double ck, double& amplitude, double& phase);

// Conversion toward zero to a 4-byte integer. A value whose truncation does
// not fit (and NaN) gives INT32_MIN, the integer-indefinite value that the
// processor's truncating conversion produces.
int32_t truncate_to_int32(double v);

// A scaled value in raw units: trunc(v * 4096.0 + kRawRoundingOffset).
int32_t round_to_raw(double v);

}  // namespace tsr
