// The missing-sample rule: when missing samples spoil a pixel's fit.
//
// tsrecon screens a raw value above its ceiling (1536), the no-data code
// 32767 among them, out of the final fit, but under MASK=0 such a sample
// first enters the preliminary fit with its own value when no band is
// excluded (with an excluded band, gap filling replaces it before that fit).
// One no-data sample (32767 / 4096 = 8.0 against values below 0.4) drags the
// preliminary fit so far that the residual screening keeps the no-data
// samples and drops real ones. Hence the rule:
//
//   A pixel with valid samples whose share of missing samples is 2 % or more
//   (missing x 50 >= bands) is ruined under MASK=0 when no band is excluded.
//
// Measured with scripts/measure-missing-samples on a real 16-day NDVI cube
// (23 bands, 2498 complete pixels), one missing sample in every pixel: the
// fit lies 552 raw (RMS) from the fit of the complete series and 17 % of the
// pixels lose their model; with a band excluded 37 raw, through a mask 80
// (of which 76 the mask's own cost: no residual screening), none lost. On
// 200 bands the harm grows with the share: 1, 2, 4 and 8 missing (0.5 to
// 4 %) give 25, 47, 68 and 203 raw against 18 to 20 through a mask.
//
// Missing means equal to the cube's no-data code (data.hdr's "data ignore
// value", 32767 when it has none), or not valid in a validity plane.
// Under MASK=1 the preliminary fit does not run and the mask decides; with an
// excluded band the missing samples are interpolated before it. In both
// cases no pixel is ruined, but the counts are still given.
//
// Counting works on any layout and in blocks: count_missing adds, per pixel,
// the missing samples of some bands to a caller-owned count; a
// MissingSampleTally gathers the pixels' counts (a histogram by count, so
// blocks and threads can be merged), and judge_missing_samples gives the
// verdict. Pure computation, no I/O; a tally is not synchronised (one per
// thread, then merge).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "domain/raw.h"
#include "runtime/status.h"

namespace tsr {

// The no-data code of data.bsq when data.hdr names none.
inline constexpr int16_t kDefaultMissingCode = kRawNoData;

// True when `missing` of `bands` samples make a pixel with valid samples
// ruined under MASK=0 without excluded bands: 0 < missing < bands and
// missing x 50 >= bands.
bool ruinous_missing_share(int32_t missing, int32_t bands);

// For each pixel p in [0, pixels) adds to missing[p] the number of bands
// b in [0, bands) with values[p * pixel_stride + b * band_stride] ==
// missing_code. A band-sequential plane block: pixel_stride 1, band_stride
// the plane size; one pixel's bands side by side (a cube line as tsrecon
// reads it): pixel_stride bands, band_stride 1; one band: bands 1.
void count_missing(const int16_t* values, int64_t pixels, int32_t bands, int64_t pixel_stride, int64_t band_stride,
                   int16_t missing_code, int32_t* missing);

// The same for validity planes: counts the entries that are 0.
void count_invalid(const uint8_t* valid, int64_t pixels, int32_t bands, int64_t pixel_stride, int64_t band_stride,
                   int32_t* missing);

class MissingSampleTally {
 public:
  // Requires bands >= 1.
  explicit MissingSampleTally(int32_t bands);

  // Adds pixels by their counts of missing samples (each 0..bands). Refuses,
  // adding nothing, when a count lies outside that range.
  Status add(const int32_t* missing, int64_t pixels);
  // Adds another tally of the same number of bands; refuses another.
  Status merge(const MissingSampleTally& other);

  int32_t bands() const { return bands_; }
  // Entry m: the number of pixels with m missing samples (bands + 1 entries).
  const std::vector<int64_t>& pixels_by_missing() const { return pixels_by_missing_; }

 private:
  int32_t bands_;
  std::vector<int64_t> pixels_by_missing_;
};

// The job's settings that decide whether missing samples reach the
// preliminary fit.
struct MissingSampleJob {
  int32_t mask = 0;            // MASK: 1 reads mask.bsq, anything else does not
  int32_t excluded_count = 0;  // bands excluded by cntl.dat (accepted band numbers)
};

struct MissingSampleVerdict {
  int32_t bands = 0;
  int64_t pixels = 0;
  int64_t samples = 0;
  int64_t samples_missing = 0;
  int64_t pixels_complete = 0;  // no sample missing
  int64_t pixels_empty = 0;     // no valid sample
  int64_t pixels_few = 0;       // some missing, below 2 % of the bands
  int64_t pixels_many = 0;      // valid samples, and 2 % or more missing
  // Missing samples of the pixels_many pixels: least, median (the lower one
  // of an even count), most; 0 when there are none. The largest count of the
  // pixels_few pixels.
  int32_t many_least = 0, many_median = 0, many_most = 0;
  int32_t few_most = 0;
  // How the job treats them: under MASK=1 the mask decides; with excluded
  // bands gap filling runs before the preliminary fit; otherwise missing
  // samples enter it.
  bool masked = false;
  bool filled_first = false;
  int64_t pixels_ruined = 0;  // pixels_many, unless masked or filled_first
};

MissingSampleVerdict judge_missing_samples(const MissingSampleTally& tally, const MissingSampleJob& job);

// The counts in one sentence for the import's and the check's reports, e.g.
// "96600 samples, 2898 missing (3.00 %); of 4200 pixels 1702 have no valid
// sample, 2498 have 2 % or more of their 23 samples missing (1 to 3, median
// 1: 4.35 % to 13.04 %), 0 fewer". What the job makes of them is the caller's
// sentence (ruined, masked, gap-filled first).
std::string format_missing_counts(const MissingSampleVerdict& verdict);

}  // namespace tsr
