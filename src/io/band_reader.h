// Line readers of the input cubes data.bsq and mask.bsq.
//
// Both cubes are headerless and band-sequential: NB planes of NL lines of NS
// samples. The readers fill the driver's line buffers, in which the band is
// the fastest index: element (b, s) lies at index (s - 1) * stride + (b - 1).
//
// The NS samples of a band line are read in one transfer, with the outcome of
// reading them record by record in order:
//  - a record wholly beyond the end of the file is error 36 ("attempt to
//    access non-existent record") at that record;
//  - a record only partly present (a file cut inside its last record) is
//    accepted, its missing bytes reading as 0 before any byte swap;
//  - a failed read is error 39, after the records read before it;
//  - in data.bsq, a negative value stops the reading at that value: the
//    console line with NL and NS is written and the refusal returned names
//    the place and the value. Later samples and bands are not read.
// The records delivered before a failure are in the buffer.
#pragma once

#include <cstdint>
#include <string>

#include "io/image_file.h"
#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr {

// Reads bands first_band..last_band of line `line` of data.bsq into
// `data_line`. `env` receives the console line of a negative value.
Status read_data_line(Env& env, ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                      int32_t last_band, int16_t* data_line, int32_t stride);

// The same for mask.bsq: every byte is taken as an unsigned value 0..255.
Status read_mask_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                      int32_t last_band, int16_t* mask_line, int32_t stride);

// Where one pixel lies in a cube file: its line and sample (from 1) in a
// cube of NB bands, NL lines and NS samples.
struct PixelPlace {
  int32_t line = 0, sample = 0;
  int32_t NB = 0, NL = 0, NS = 0;
};

// Reads the NB records of the pixel `at` of a cube file (data.bsq as 16-bit
// values, mask.bsq as bytes 0..255) into `values`, band 1 first, with the
// same outcome per record as the line readers (a negative data value is
// delivered, not refused). For the companions, which look at single pixels.
// `*delivered` receives the number of bands read.
Status read_pixel(ImageFile& file, const PixelPlace& at, int16_t* values, int32_t* delivered);

// Reads bands first_band..last_band of line `line` of a cube file as it is
// stored, into the same band-fastest layout as the line readers: data.bsq as
// 16-bit values (negative ones delivered, not refused), mask.bsq as bytes
// 0..255; otherwise with the same outcome per record. For the companions,
// which look at whole cubes without running them.
Status read_cube_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band, int32_t last_band,
                      int16_t* values, int32_t stride);

// What is wrong with a negative data value, e.g.
// "data.bsq band 3 line 2 sample 7 holds -5; values must be 0..32767", the
// message of the refusal of such a value.
std::string negative_value_text(const std::string& file_name, int32_t band, int32_t line, int32_t sample,
                                int16_t value);

}  // namespace tsr
