#include "tools/pixel_report.h"

#include <memory>

#include "io/conversions.h"
#include "lsq/function_matrix.h"
#include "pixel/reconstruct.h"

namespace tsr::tools {

PixelReport reconstruct_single_pixel(const RunParameters& p, int32_t line, int32_t sample,
                                     const std::vector<int16_t>& raw, const std::vector<int16_t>& mask_values) {
  PixelReport r;
  r.line = line;
  r.sample = sample;
  r.nb = p.NB;
  r.nfunc = p.NFUNC;
  r.npoint = p.NPOINT;
  r.mask = p.MASK == 1;
  r.lower_threshold = p.lower_threshold;
  r.upper_threshold = p.upper_threshold;
  const size_t nb = static_cast<size_t>(p.NB);
  r.raw.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(nb));
  r.excluded.assign(nb, false);
  for (int32_t i = 0; i < p.excluded_count; ++i) r.excluded[static_cast<size_t>(p.excluded_bands[i] - 1)] = true;

  // The same staging as the driver's: the series, weights of 1 or the mask
  // values, and the per-pixel arrays at their full capacity.
  auto x = std::make_unique<FunctionMatrix>();
  build_function_matrix(p.NB, p.NPOINT, p.NFUNC, harmonic_frequencies, *x);
  auto ws = std::make_unique<PixelWorkspace>();
  std::vector<int16_t> series(kMaxBands, 0), weights(kMaxBands, 0);
  std::vector<double> fitted(kMaxBands, 0.0), interpolated(kMaxBands, 0.0), params(kMatrixColumns, 0.0);
  for (size_t k = 0; k < nb; ++k) {
    series[k] = raw[k];
    weights[k] = r.mask ? mask_values[k] : int16_t{1};
  }
  r.weights_in.assign(weights.begin(), weights.begin() + static_cast<std::ptrdiff_t>(nb));
  // INTP only decides whether the preliminary fit is handed back; 1 always
  // hands it back and changes nothing else.
  const int32_t intp = 1;
  reconstruct_pixel(p.NB, p.NFUNC, series.data(), fitted.data(), interpolated.data(), weights.data(), params.data(),
                    *x, p.NP, p.NWIN, r.max, r.min, p.excluded_count, p.excluded_bands, r.criterion, r.order,
                    p.MMSW, intp, p.lower_threshold, p.upper_threshold, p.FITSW, p.MASK, p.FITMD, *ws);
  r.weights_out.assign(weights.begin(), weights.begin() + static_cast<std::ptrdiff_t>(nb));
  r.fitted.assign(fitted.begin(), fitted.begin() + static_cast<std::ptrdiff_t>(nb));
  r.final_input.assign(ws->work, ws->work + nb);
  r.preliminary.assign(interpolated.begin(), interpolated.begin() + static_cast<std::ptrdiff_t>(nb));
  r.params.assign(params.begin(), params.begin() + p.NP);
  return r;
}

std::vector<int16_t> fitted_product_values(const PixelReport& r) {
  std::vector<int16_t> out;
  for (double v : r.fitted) out.push_back(scaled_series_value(v));
  return out;
}

std::vector<int16_t> preliminary_product_values(const PixelReport& r) {
  std::vector<int16_t> out;
  for (double v : r.preliminary) out.push_back(scaled_series_value(v));
  return out;
}

std::vector<float> parameter_product_values(const PixelReport& r) {
  std::vector<float> out;
  for (double v : r.params) out.push_back(real4_value(v));
  return out;
}

}  // namespace tsr::tools
