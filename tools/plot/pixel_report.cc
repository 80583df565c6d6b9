#include "tools/plot/pixel_report.h"

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

  // The same staging as the driver's: the series, and weights of 1 or the
  // mask values.
  auto x = std::make_unique<FunctionMatrix>();
  build_function_matrix(p.NB, p.NPOINT, p.NFUNC, harmonic_frequencies, *x);
  auto ws = std::make_unique<PixelWorkspace>();
  auto input = std::make_unique<PixelInput>();
  auto result = std::make_unique<PixelResult>();
  for (size_t k = 0; k < nb; ++k) {
    input->series[k] = raw[k];
    input->weights[k] = r.mask ? mask_values[k] : int16_t{1};
  }
  r.weights_in.assign(input->weights.begin(), input->weights.begin() + nb);
  // INTP only decides whether the preliminary fit is handed back; keeping it
  // always changes nothing else.
  PixelSettings settings = pixel_settings(p);
  settings.keep_preliminary = true;
  reconstruct_pixel(settings, *x, *input, *result, *ws);
  r.criterion = result->criterion;
  r.order = result->order;
  r.min = result->minimum;
  r.max = result->maximum;
  r.weights_out.assign(result->used.begin(), result->used.begin() + nb);
  r.fitted.assign(result->fitted.begin(), result->fitted.begin() + nb);
  r.final_input.assign(ws->work.begin(), ws->work.begin() + nb);
  r.preliminary.assign(result->preliminary.begin(), result->preliminary.begin() + nb);
  r.params.assign(result->params, result->params + p.NP);
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
