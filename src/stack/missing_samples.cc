#include "stack/missing_samples.h"

#include <cstdio>

namespace tsr {
namespace {

std::string percent(int64_t part, int64_t whole) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f %%", whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
  return buf;
}

}  // namespace

bool ruinous_missing_share(int32_t missing, int32_t bands) {
  return missing > 0 && missing < bands && int64_t{missing} * 50 >= bands;
}

void count_missing(const int16_t* values, int64_t pixels, int32_t bands, int64_t pixel_stride, int64_t band_stride,
                   int16_t missing_code, int32_t* missing) {
  for (int64_t p = 0; p < pixels; ++p) {
    const int16_t* v = values + p * pixel_stride;
    int32_t n = 0;
    for (int32_t b = 0; b < bands; ++b) n += v[b * band_stride] == missing_code;
    missing[p] += n;
  }
}

void count_invalid(const uint8_t* valid, int64_t pixels, int32_t bands, int64_t pixel_stride, int64_t band_stride,
                   int32_t* missing) {
  for (int64_t p = 0; p < pixels; ++p) {
    const uint8_t* v = valid + p * pixel_stride;
    int32_t n = 0;
    for (int32_t b = 0; b < bands; ++b) n += v[b * band_stride] == 0;
    missing[p] += n;
  }
}

MissingSampleTally::MissingSampleTally(int32_t bands)
    : bands_(bands), pixels_by_missing_(static_cast<size_t>(bands) + 1, 0) {}

Status MissingSampleTally::add(const int32_t* missing, int64_t pixels) {
  for (int64_t p = 0; p < pixels; ++p)
    if (missing[p] < 0 || missing[p] > bands_)
      return Status::refused("pixel " + std::to_string(p + 1) + " has " + std::to_string(missing[p]) +
                             " missing samples of " + std::to_string(bands_));
  for (int64_t p = 0; p < pixels; ++p) ++pixels_by_missing_[static_cast<size_t>(missing[p])];
  return Status::ok();
}

Status MissingSampleTally::merge(const MissingSampleTally& other) {
  if (other.bands_ != bands_)
    return Status::refused("a tally of " + std::to_string(other.bands_) + " bands merged into one of " +
                           std::to_string(bands_));
  for (size_t m = 0; m < pixels_by_missing_.size(); ++m) pixels_by_missing_[m] += other.pixels_by_missing_[m];
  return Status::ok();
}

MissingSampleVerdict judge_missing_samples(const MissingSampleTally& tally, const MissingSampleJob& job) {
  MissingSampleVerdict v;
  v.bands = tally.bands();
  const std::vector<int64_t>& h = tally.pixels_by_missing();
  for (int32_t m = 0; m <= v.bands; ++m) {
    const int64_t n = h[static_cast<size_t>(m)];
    if (n == 0) continue;
    v.pixels += n;
    v.samples_missing += n * m;
    if (m == 0) {
      v.pixels_complete += n;
    } else if (m == v.bands) {
      v.pixels_empty += n;
    } else if (ruinous_missing_share(m, v.bands)) {
      if (v.pixels_many == 0) v.many_least = m;
      v.pixels_many += n;
      v.many_most = m;
    } else {
      v.pixels_few += n;
      v.few_most = m;
    }
  }
  v.samples = v.pixels * v.bands;
  if (v.pixels_many > 0) {
    // The lower median: the ((n + 1) / 2)-th pixel in the order of counts.
    const int64_t rank = (v.pixels_many + 1) / 2;
    int64_t seen = 0;
    for (int32_t m = v.many_least; m <= v.many_most; ++m) {
      if (!ruinous_missing_share(m, v.bands)) continue;
      seen += h[static_cast<size_t>(m)];
      if (seen >= rank) {
        v.many_median = m;
        break;
      }
    }
  }
  v.masked = job.mask == 1;
  v.filled_first = !v.masked && job.excluded_count > 0;
  v.pixels_ruined = v.masked || v.filled_first ? 0 : v.pixels_many;
  return v;
}

std::string format_missing_counts(const MissingSampleVerdict& v) {
  const auto share = [&](int32_t m) { return percent(m, v.bands); };
  std::string text = std::to_string(v.samples) + " samples, " + std::to_string(v.samples_missing) + " missing (" +
                     percent(v.samples_missing, v.samples) + "); of " + std::to_string(v.pixels) + " pixels " +
                     std::to_string(v.pixels_empty) + " have no valid sample, " + std::to_string(v.pixels_many) +
                     " have 2 % or more of their " + std::to_string(v.bands) + " samples missing";
  if (v.pixels_many > 0)
    text += " (" + std::to_string(v.many_least) + " to " + std::to_string(v.many_most) + ", median " +
            std::to_string(v.many_median) + ": " + share(v.many_least) + " to " + share(v.many_most) + ")";
  text += ", " + std::to_string(v.pixels_few) + " fewer";
  if (v.pixels_few > 0) text += " (at most " + std::to_string(v.few_most) + ": " + share(v.few_most) + ")";
  return text;
}

}  // namespace tsr
