// Encodings of the values stored in the image files.
//
// Every file holds little-endian values; a file whose FORT_CONVERT<unit>
// variable says BIG_ENDIAN holds them with their bytes reversed, so every
// encoder and decoder takes a `swap` flag. All functions work byte by byte
// and do not depend on the byte order of the machine.
#pragma once

#include <cstdint>

namespace tsr {

// A fitted or interpolated series value (data.bsq units divided by
// kRawScale, domain/raw.h) as the 16-bit integer of f.bsq and i.bsq:
// t = x * kRawScale + kSeriesRoundingOffset (4096.0 and 0.5), truncated
// toward zero to a 32-bit integer (-2147483648 when t is not a number or the
// truncation does not fit), of which the low 16 bits are kept.
int16_t scaled_series_value(double x);

// An 8-byte real rounded to the nearest 4-byte real (p.bsq).
float real4_value(double x);

// The aic.dat value: the rounded 4-byte real, or 0.0 when the magnitude of
// the 8-byte value exceeds kLargestStoredCriterion (1.0e8). A value that is
// not a number is kept.
float aic_value(double x);

// The order.dat byte: the low 8 bits of the 16-bit order.
uint8_t order_byte(int16_t order);

// Two- and four-byte values at `p`, low byte first unless `swap`.
void store16(unsigned char* p, uint16_t value, bool swap);
void store32(unsigned char* p, uint32_t value, bool swap);
uint16_t load16(const unsigned char* p, bool swap);

// The bits of a 4-byte real, for store32.
uint32_t real4_bits(float value);

}  // namespace tsr
