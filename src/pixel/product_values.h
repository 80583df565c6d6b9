// The values a pixel's products hold of its fitted model: the amplitude and
// phase of a harmonic, and a scaled value rounded back to raw units.
#pragma once

#include <cstdint>

#include "lsq/constants.h"

namespace tsr {

// The harmonic sk * sin(x) + ck * cos(x) as amplitude * sin(x + phase).
// amplitude = sqrt(sk * sk + ck * ck); an amplitude at or below kMinAmplitude
// gives (0.0, 0.0). The phase uses kPiSingle; its quadrant follows the sign
// bits of sk and ck (-0.0 counts as negative); a sine coefficient below
// kMinSineCoefficient in magnitude gives a quarter turn.
void harmonic_amplitude_phase(double sk, double ck, double& amplitude, double& phase);

// Conversion toward zero to a 4-byte integer. A value whose truncation does
// not fit (and NaN) gives INT32_MIN, the integer-indefinite value that the
// processor's truncating conversion produces.
int32_t truncate_to_int32(double v);

// A scaled value in raw units: trunc(v * kRawScale + kRawRoundingOffset).
int32_t round_to_raw(double v);

}  // namespace tsr
