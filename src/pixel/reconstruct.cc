#include "pixel/reconstruct.h"

#include "lsq/constants.h"
#include "lsq/fixed_fit.h"
#include "lsq/select_fit.h"
#include "lsq/select_fit_fast.h"
#include "pixel/envelope.h"
#include "pixel/gap_fill.h"
#include "pixel/reduce.h"

namespace tsr {

namespace {

constexpr uint8_t kUse = 0xFF;
constexpr uint8_t kSkip = 0x00;

bool uses(uint8_t flag) { return (flag & 1u) != 0; }

// The envelope filter chosen by the run: fill_dips for FITMD 0, clip_peaks for
// FITMD 1, none otherwise or when MMSW switches filtering off.
void apply_filter(int32_t nb, int32_t nwin, int32_t mmsw, int8_t fitmd, PixelWorkspace& ws) {
  if (mmsw > 0 && fitmd == 0) {
    fill_dips(nb, nwin, ws.work, ws.envelope);
  } else if (mmsw > 0 && fitmd == 1) {
    clip_peaks(nb, nwin, ws.work, ws.envelope);
  }
}

void mark_excluded(int32_t excluded_count, const int16_t* excluded_bands, PixelWorkspace& ws) {
  for (int32_t e = 0; e < excluded_count; ++e) {
    const int32_t b = excluded_bands[e];
    ws.status[b - 1] = 0;
    ws.use_in_fit[b - 1] = kSkip;
  }
}

}  // namespace

void reconstruct_pixel(int32_t nb, int32_t nfunc, const int16_t* pixel_series, double* pixel_fitted,
                       double* pixel_interpolated, int16_t* pixel_weights, double* pixel_params,
                       const FunctionMatrix& x, int32_t np, int32_t nwin, int32_t& pixel_max,
                       int32_t& pixel_min, int32_t excluded_count, const int16_t* excluded_bands,
                       double& pixel_criterion, int32_t& pixel_order, int32_t mmsw, int32_t intp,
                       double lower_threshold, double upper_threshold, int8_t fitsw, int32_t mask,
                       int8_t fitmd, PixelWorkspace& ws) {
  const int16_t* y = pixel_series;
  int16_t* w = pixel_weights;

  // Reset.
  for (int32_t i = 1; i <= nb; ++i) {
    ws.scaled[i - 1] = 0.0;
    pixel_fitted[i - 1] = 0.0;
    ws.status[i - 1] = 1;
    ws.use_in_fit[i - 1] = kUse;
  }
  for (int32_t j = 1; j <= np; ++j) {
    pixel_params[j - 1] = 0.0;
    ws.coef[j - 1] = 0.0;
  }
  ws.max_gap = 0;
  mark_excluded(excluded_count, excluded_bands, ws);

  // Raw screening and scaling. These marks reach the statuses only; which
  // samples enter the fits is decided later.
  for (int32_t i = 1; i <= nb; ++i) {
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

  // Preliminary pass: a three-harmonic fit whose residuals decide which samples
  // are clouds. A mask, when there is one, takes the place of this screening.
  if (mask != 1) {
    if (excluded_count > 0) fill_gaps(nb, ws.work, ws.status, ws.max_gap);
    apply_filter(nb, nwin, mmsw, fitmd, ws);
    fit_fixed_order(nb, kPreliminaryHarmonics, ws.work, ws.use_in_fit, x, ws.coef, ws.fitted,
                    ws.lsq);
    for (int32_t i = 1; i <= nb; ++i) ws.preliminary[i - 1] = ws.fitted[i - 1];
    for (int32_t i = 1; i <= nb; ++i) {
      const double r = ws.scaled[i - 1] - ws.fitted[i - 1];
      ws.work[i - 1] = ws.scaled[i - 1];
      // A NaN residual fails both comparisons and is rejected.
      if (r >= lower_threshold && r <= upper_threshold) {
        ws.status[i - 1] = 1;
        ws.use_in_fit[i - 1] = kUse;
      } else {
        ws.status[i - 1] = 0;
        ws.use_in_fit[i - 1] = kSkip;
      }
    }
  }

  // Final pass.
  mark_excluded(excluded_count, excluded_bands, ws);
  if (mask == 1) {
    for (int32_t i = 1; i <= nb; ++i) ws.status[i - 1] = w[i - 1];
  }
  fill_gaps(nb, ws.work, ws.status, ws.max_gap);
  if (intp > 0) {
    for (int32_t i = 1; i <= nb; ++i) pixel_interpolated[i - 1] = ws.preliminary[i - 1];
  }
  // Long gaps cannot support the short-period harmonics: cap the order.
  ws.model_order = nfunc;
  for (const GapOrderCap& cap : kGapOrderCaps) {
    if (ws.max_gap > cap.longer_than && ws.model_order > cap.order) ws.model_order = cap.order;
  }
  apply_filter(nb, nwin, mmsw, fitmd, ws);
  if (fitsw > 0) {
    for (int32_t i = 1; i <= nb; ++i) ws.use_in_fit[i - 1] = ws.status[i - 1] == 1 ? kUse : kSkip;
  }
  if (ws.engine == LsqEngine::kLiteral) {
    select_and_fit(nb, nfunc, ws.work, ws.use_in_fit, x, ws.coef, ws.fitted, ws.model_order,
                   ws.criterion, ws.lsq);
  } else {
    select_and_fit_fast(nb, nfunc, ws.work, ws.use_in_fit, x, ws.coef, ws.fitted, ws.model_order,
                        ws.criterion, ws.lsq, ws.fast_fit);
  }
  pixel_criterion = ws.criterion;
  pixel_order = ws.model_order;

  if (ws.criterion == 0.0 || ws.model_order <= 1) {
    // No model for this pixel.
    for (int32_t i = 1; i <= nb; ++i) pixel_fitted[i - 1] = 0.0;
    for (int32_t j = 1; j <= np; ++j) pixel_params[j - 1] = 0.0;
    pixel_max = 0;
    pixel_min = 0;
  } else {
    double mx = kFittedMaxSeed;
    double mn = kFittedMinSeed;
    for (int32_t i = 1; i <= nb; ++i) {
      const double v = ws.fitted[i - 1];
      pixel_fitted[i - 1] = v;
      if (v > mx) mx = v;
      if (v < mn) mn = v;
    }
    if (mx < 0.0) mx = 0.0;
    if (mn > kLargestStoredMinimum) mn = 0.0;

    pixel_params[0] = ws.coef[0];
    pixel_params[1] = ws.coef[1];
    for (int32_t k = 1; k <= nfunc; ++k) {
      harmonic_amplitude_phase(ws.coef[2 * k], ws.coef[2 * k + 1], pixel_params[2 * k],
                               pixel_params[2 * k + 1]);
    }

    pixel_min = round_to_raw(mn);
    pixel_max = round_to_raw(mx);
  }

  for (int32_t i = 1; i <= nb; ++i) w[i - 1] = uses(ws.use_in_fit[i - 1]) ? 1 : 0;
}

}  // namespace tsr
