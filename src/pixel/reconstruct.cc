#include "pixel/reconstruct.h"

#include <algorithm>

#include "lsq/constants.h"
#include "lsq/fixed_fit.h"
#include "lsq/select_fit.h"
#include "lsq/select_fit_fast.h"
#include "pixel/envelope.h"
#include "pixel/gap_fill.h"
#include "pixel/product_values.h"

namespace tsr {

namespace {

constexpr uint8_t kUse = 0xFF;
constexpr uint8_t kSkip = 0x00;

bool uses(uint8_t flag) { return (flag & 1u) != 0; }

// The run's envelope filter on the working series.
void apply_filter(const PixelSettings& s, PixelWorkspace& ws) {
  switch (s.filter) {
    case EnvelopeFilter::kFillDips:
      fill_dips(s.nb, s.nwin, ws.work.data(), ws.envelope);
      break;
    case EnvelopeFilter::kClipPeaks:
      clip_peaks(s.nb, s.nwin, ws.work.data(), ws.envelope);
      break;
    case EnvelopeFilter::kNone:
      break;
  }
}

void mark_excluded(const PixelSettings& s, PixelWorkspace& ws) {
  for (const int32_t b : s.excluded_bands) {
    ws.status[b - 1] = 0;
    ws.use_in_fit[b - 1] = kSkip;
  }
}

// Every band valid and in the fits but the excluded ones; the result's
// fitted series and parameters cleared.
void reset(const PixelSettings& s, PixelResult& result, PixelWorkspace& ws) {
  for (int32_t i = 1; i <= s.nb; ++i) {
    ws.scaled[i - 1] = 0.0;
    result.fitted[i - 1] = 0.0;
    ws.status[i - 1] = 1;
    ws.use_in_fit[i - 1] = kUse;
  }
  for (int32_t j = 1; j <= s.np; ++j) {
    result.params[j - 1] = 0.0;
    ws.coef[j - 1] = 0.0;
  }
  ws.max_gap = 0;
  mark_excluded(s, ws);
}

// Raw screening and scaling: a raw value above the ceiling, or a rise from
// the previous band's raw value above the limit, marks the band missing and
// zeroes its weight. These marks reach the statuses only; which samples enter
// the fits is decided later.
void screen_raw(const PixelSettings& s, const PixelInput& input, PixelWorkspace& ws) {
  const int16_t* y = input.series.data();
  int16_t* w = ws.weights.data();
  for (int32_t i = 1; i <= s.nb; ++i) {
    w[i - 1] = input.weights[i - 1];
    if (y[i - 1] > kRawCeiling) {
      ws.status[i - 1] = 0;
      w[i - 1] = 0;
    }
    if (i >= 2) {
      // The rise is taken as a 16-bit difference, wrapping modulo 65536.
      const int16_t rise = static_cast<int16_t>(y[i - 1] - y[i - 2]);
      if (rise > kRawRiseLimit) {
        ws.status[i - 1] = 0;
        w[i - 1] = 0;
      }
    }
    ws.scaled[i - 1] = static_cast<double>(y[i - 1]) / kRawScale;
    ws.work[i - 1] = ws.scaled[i - 1];
  }
}

// Preliminary pass (without a mask): a fit of kPreliminaryHarmonics
// harmonics whose residuals decide which samples are clouds. Every sample
// but the excluded ones enters it -- with gap-filled values where the raw
// screening marked it, when bands are excluded. Afterwards the working series
// is the scaled one again and the statuses and flags are those of the
// residual screening.
void preliminary_pass(const PixelSettings& s, const FunctionMatrix& x, PixelWorkspace& ws) {
  if (!s.excluded_bands.empty()) fill_gaps(s.nb, ws.work.data(), ws.status.data(), ws.max_gap);
  apply_filter(s, ws);
  fit_fixed_order(kPreliminaryHarmonics, FitSeries{s.nb, ws.work.data(), ws.use_in_fit.data(), &x}, ws.coef,
                  ws.fitted.data(), &ws.lsq);
  for (int32_t i = 1; i <= s.nb; ++i) ws.preliminary[i - 1] = ws.fitted[i - 1];
  for (int32_t i = 1; i <= s.nb; ++i) {
    const double r = ws.scaled[i - 1] - ws.fitted[i - 1];
    ws.work[i - 1] = ws.scaled[i - 1];
    // A NaN residual fails both comparisons and is rejected.
    if (r >= s.lower_threshold && r <= s.upper_threshold) {
      ws.status[i - 1] = 1;
      ws.use_in_fit[i - 1] = kUse;
    } else {
      ws.status[i - 1] = 0;
      ws.use_in_fit[i - 1] = kSkip;
    }
  }
}

// Final pass: gap filling over the statuses (the mask's weights under a
// mask), the order cap from the longest gap, the filter and the selection fit.
void final_pass(const PixelSettings& s, const FunctionMatrix& x, PixelResult& result, PixelWorkspace& ws) {
  mark_excluded(s, ws);
  if (s.weights_are_mask) {
    for (int32_t i = 1; i <= s.nb; ++i) ws.status[i - 1] = ws.weights[i - 1];
  }
  fill_gaps(s.nb, ws.work.data(), ws.status.data(), ws.max_gap);
  if (s.keep_preliminary) {
    for (int32_t i = 1; i <= s.nb; ++i) result.preliminary[i - 1] = ws.preliminary[i - 1];
  }
  // Long gaps cannot support the short-period harmonics: cap the order.
  ws.model_order = s.nfunc;
  for (const GapOrderCap& cap : kGapOrderCaps) {
    if (ws.max_gap > cap.longer_than && ws.model_order > cap.order) ws.model_order = cap.order;
  }
  apply_filter(s, ws);
  if (s.fit_valid_only) {
    for (int32_t i = 1; i <= s.nb; ++i) ws.use_in_fit[i - 1] = ws.status[i - 1] == 1 ? kUse : kSkip;
  }
  const SelectionFitOptions options{s.nfunc, ws.model_order};
  const FitSeries series{s.nb, ws.work.data(), ws.use_in_fit.data(), &x};
  SelectionFitSummary summary;
  if (ws.engine == LsqEngine::kLiteral) {
    select_and_fit(options, series, ws.coef, ws.fitted.data(), &summary, &ws.lsq);
  } else {
    select_and_fit_fast(options, series, ws.coef, ws.fitted.data(), &summary, &ws.lsq, &ws.fast_fit);
  }
  ws.model_order = summary.cap;
  ws.criterion = summary.criterion;
  result.criterion = ws.criterion;
  result.order = ws.model_order;
}

// The final fit as the products hold it: the fitted series, the constant and
// trend, amplitude and phase per harmonic, and the extremes in raw units; or
// zeros where the fit leaves no model (the no-model rule, domain/model.h).
void reduce_final_fit(const PixelSettings& s, PixelResult& result, const PixelWorkspace& ws) {
  if (fit_has_no_model(ws.criterion, ws.model_order)) {
    for (int32_t i = 1; i <= s.nb; ++i) result.fitted[i - 1] = 0.0;
    for (int32_t j = 1; j <= s.np; ++j) result.params[j - 1] = 0.0;
    result.maximum = 0;
    result.minimum = 0;
    return;
  }
  double mx = kFittedMaxSeed;
  double mn = kFittedMinSeed;
  for (int32_t i = 1; i <= s.nb; ++i) {
    const double v = ws.fitted[i - 1];
    result.fitted[i - 1] = v;
    if (v > mx) mx = v;
    if (v < mn) mn = v;
  }
  if (mx < 0.0) mx = 0.0;
  if (mn > kLargestStoredMinimum) mn = 0.0;

  result.params[0] = ws.coef[0];
  result.params[1] = ws.coef[1];
  for (int32_t k = 1; k <= s.nfunc; ++k) {
    harmonic_amplitude_phase(ws.coef[2 * k], ws.coef[2 * k + 1], result.params[2 * k], result.params[2 * k + 1]);
  }

  result.minimum = round_to_raw(mn);
  result.maximum = round_to_raw(mx);
}

}  // namespace

PixelInput::PixelInput(int32_t capacity)
    : series(static_cast<size_t>(std::max<int32_t>(capacity, 1)), 0),
      weights(series.size(), 0) {}

PixelResult::PixelResult(int32_t capacity)
    : fitted(static_cast<size_t>(std::max<int32_t>(capacity, 1)), 0.0),
      preliminary(fitted.size(), 0.0),
      used(fitted.size(), false) {}

PixelWorkspace::PixelWorkspace(int32_t capacity)
    : lsq(capacity),
      fast_fit(capacity),
      envelope(capacity),
      scaled(static_cast<size_t>(std::max<int32_t>(capacity, 1)), 0.0),
      work(scaled.size(), 0.0),
      fitted(scaled.size(), 0.0),
      preliminary(scaled.size(), 0.0),
      weights(scaled.size(), 0),
      status(scaled.size(), 0),
      use_in_fit(scaled.size(), 0) {}

PixelStorageBytes pixel_storage_bytes(int32_t capacity) {
  const uint64_t n = static_cast<uint64_t>(std::max<int32_t>(capacity, 1));
  // The input's two int16 vectors; the result's two double vectors and its
  // flags (a vector<bool>, in words of 64 bits); the workspace's five double
  // vectors, the envelope's 3n doubles, the weights, statuses and flags.
  const uint64_t input = n * 2 * sizeof(int16_t);
  const uint64_t result = n * 2 * sizeof(double) + (n + 63) / 64 * sizeof(uint64_t);
  const uint64_t series = n * (4 * sizeof(double) + sizeof(int16_t) + sizeof(int32_t) + sizeof(uint8_t)) +
                          3 * n * sizeof(double);
  PixelStorageBytes b;
  b.reflection = LsqWorkspace::reflection_bytes(capacity);
  b.in_use = sizeof(PixelInput) + sizeof(PixelResult) + sizeof(PixelWorkspace) + input + result + series +
             LsqWorkspace::heap_bytes_besides_reflection(capacity) + FastFitWorkspace::heap_bytes(capacity);
  return b;
}

int32_t pixel_capacity(const FunctionMatrix& x, const PixelInput& input, const PixelResult& result,
                       const PixelWorkspace& ws) {
  return std::min({x.rows(), input.capacity(), result.capacity(), ws.capacity(), ws.lsq.capacity(),
                   ws.fast_fit.capacity(), ws.envelope.capacity()});
}

bool reconstruct_pixel(const PixelSettings& settings, const FunctionMatrix& x, const PixelInput& input,
                       PixelResult& result, PixelWorkspace& ws) {
  const PixelSettings& s = settings;
  if (s.nb < 1 || s.nb > pixel_capacity(x, input, result, ws)) return false;
  if (s.np < 0 || s.np > kMatrixColumns || s.nfunc < 0 || s.nfunc > kMaxHarmonics) return false;
  for (const int32_t band : s.excluded_bands) {
    if (band < 1 || band > s.nb) return false;
  }
  reset(settings, result, ws);
  screen_raw(settings, input, ws);
  // A mask, when there is one, takes the place of the residual screening.
  if (!settings.weights_are_mask) preliminary_pass(settings, x, ws);
  final_pass(settings, x, result, ws);
  reduce_final_fit(settings, result, ws);
  for (int32_t i = 1; i <= settings.nb; ++i) result.used[i - 1] = uses(ws.use_in_fit[i - 1]);
  return true;
}

}  // namespace tsr
