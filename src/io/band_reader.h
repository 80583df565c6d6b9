// Line readers of the input cubes data.bsq and mask.bsq.
//
// Both cubes are headerless and band-sequential: NB planes of NL lines of NS
// samples. The readers fill the driver's line buffers, in which the band is
// the fastest index: element (b, s) lies at index (s - 1) * stride + (b - 1).
//
// The NS samples of a band line are read in one transfer, with the outcome of
// reading them record by record in order:
//  - a record wholly beyond the end of the file ends the run with error 36
//    ("attempt to access non-existent record") at that record;
//  - a record only partly present (a file cut inside its last record) is
//    accepted, its missing bytes reading as 0 before any byte swap;
//  - a failed read ends the run with error 39, after the records read before it;
//  - in data.bsq, a negative value ends the run at that value: the console
//    line with NL and NS, then one line on standard error naming the place and
//    the value, exit status 1. Later samples and bands are not read.
#pragma once

#include <cstdint>
#include <string>

#include "io/image_file.h"

namespace tsr {

// Reads bands first_band..last_band of line `line` of data.bsq (opened with
// kDataBsq) into `data_line`.
void read_data_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                    int32_t last_band, int16_t* data_line, int32_t stride);

// The same for mask.bsq (opened with kMaskBsq): every byte is taken as an
// unsigned value 0..255.
void read_mask_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                    int32_t last_band, int16_t* mask_line, int32_t stride);

// The standard-error line for a negative data value, e.g.
// "tsrecon: data.bsq band 3 line 2 sample 7 holds -5; values must be 0..32767".
std::string negative_value_message(const std::string& file_name, int32_t band, int32_t line, int32_t sample,
                                   int16_t value);

}  // namespace tsr
