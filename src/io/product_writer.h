// Line writers of the products: p.bsq, f.bsq, i.bsq (band-sequential cubes)
// and the maps order.dat, aic.dat, min.dat and max.dat.
//
// Every band line (or map line) is converted into the file's scratch buffer
// and written in one transfer at its records' place; the bytes around it are
// left as they are, so an existing file keeps its length and its tail.
//
// Cube sources are the driver's line buffers of doubles with the band as the
// fastest index: element (b, s) at (s - 1) * stride + (b - 1). Map sources are
// arrays of NS values.
//
// A failed write of a cube or of aic.dat is a run-time error naming the unit
// and the file: error 47 when the file could be opened for reading only,
// error 38 when it cannot be positioned or written (a full disk, the file
// size limit). A failed map write is reported on the console and does not
// stop the run (write_map_line).
#pragma once

#include <cstdint>

#include "io/image_file.h"
#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr {

// Bands first_band..last_band of line `line` of p.bsq, as 4-byte reals.
Status write_param_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                        int32_t last_band, const double* param_line, int32_t stride);

// Bands first_band..last_band of line `line` of f.bsq or i.bsq, as 16-bit
// integers in data.bsq units (scaled_series_value).
Status write_series_line(ImageFile& file, int32_t line, int32_t NL, int32_t NS, int32_t first_band,
                         int32_t last_band, const double* series_line, int32_t stride);

// Line `line` of aic.dat, as 4-byte reals (aic_value).
Status write_aic_line(ImageFile& file, int32_t line, int32_t NS, const double* aic_line);

// Line `line` of an integer map: order.dat (1-byte records, the low 8 bits),
// min.dat or max.dat (2-byte records). On a failed write it writes the
// console line with the line number, the first sample not written and that
// sample's 16-bit map value to `env`, and returns false at once; true when the
// whole line was written.
bool write_map_line(Env& env, ImageFile& file, int32_t line, int32_t NS, const int16_t* map_line);

}  // namespace tsr
