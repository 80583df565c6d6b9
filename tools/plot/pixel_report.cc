#include "tools/plot/pixel_report.h"

#include <memory>

#include "io/conversions.h"
#include "lsq/function_matrix.h"
#include "control/pixel_runner.h"

namespace tsr::tools {

Status reconstruct_single_pixel(const RunParameters& p, const PixelToReport& pixel, PixelReport* report) {
  PixelReport& r = *report;
  r = PixelReport();
  r.line = pixel.line;
  r.sample = pixel.sample;
  r.nb = p.NB;
  r.nfunc = p.NFUNC;
  r.npoint = p.NPOINT;
  r.mask = p.MASK == 1;
  r.lower_threshold = p.lower_threshold;
  r.upper_threshold = p.upper_threshold;
  const size_t nb = static_cast<size_t>(p.NB);
  r.raw.assign(pixel.raw.begin(), pixel.raw.begin() + static_cast<std::ptrdiff_t>(nb));
  r.excluded.assign(nb, false);
  for (int32_t i = 0; i < p.excluded_count; ++i) r.excluded[static_cast<size_t>(p.excluded_bands[i] - 1)] = true;

  auto x = std::make_unique<FunctionMatrix>();
  build_function_matrix(p.NB, p.NPOINT, p.NFUNC, harmonic_frequencies, *x);
  PixelRunOptions options{pixel_settings(p), x.get(), LsqEngine::kFast};
  // INTP only decides whether the preliminary fit is handed back; keeping it
  // always changes nothing else.
  options.settings.keep_preliminary = true;
  const auto runner = std::make_unique<PixelRunner>(options);
  r.fitted.assign(nb, 0.0);
  r.preliminary.assign(nb, 0.0);
  r.params.assign(static_cast<size_t>(p.NP), 0.0);
  PixelOutputs outputs;
  outputs.fitted = r.fitted.data();
  outputs.preliminary = r.preliminary.data();
  outputs.params = r.params.data();
  outputs.criterion = &r.criterion;
  TSR_RETURN_IF_ERROR(runner->run({r.raw.data(), r.mask ? pixel.mask_values.data() : nullptr, nullptr, 1}, outputs));

  const PixelResult& result = runner->result();
  r.weights_in.assign(runner->input().weights.begin(), runner->input().weights.begin() + nb);
  r.weights_out.assign(result.used.begin(), result.used.begin() + nb);
  r.final_input.assign(runner->workspace().work.begin(), runner->workspace().work.begin() + nb);
  r.order = result.order;
  r.min = result.minimum;
  r.max = result.maximum;
  return Status::ok();
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

SeasonDetail pixel_seasons(const PixelReport& r, const std::vector<int32_t>& days, double factor) {
  SeasonDetail detail;
  const std::vector<double> band_days(days.begin(), days.end());
  SeasonsModel model;
  model.nb = r.nb;
  model.npoint = r.npoint;
  model.nfunc = r.nfunc;
  model.cycles = harmonic_frequencies;
  model.band_days = band_days.size() == static_cast<size_t>(r.nb) ? band_days.data() : nullptr;
  SeasonsOptions options;
  options.factor = factor;
  SeasonsPlan plan;
  if (!plan.init(model, options, nullptr)) return detail;
  const std::vector<float> stored = parameter_product_values(r);
  const std::vector<double> params(stored.begin(), stored.end());
  const bool has_model = stored_has_model(static_cast<int8_t>(order_byte(static_cast<int16_t>(r.order))),
                                          stored.data(), static_cast<int32_t>(stored.size()), 1);
  SeasonsWorkspace workspace(plan);
  double bands[kSeasonBandCount];
  compute_seasons(plan, params.data(), has_model, &workspace, bands, &detail);
  return detail;
}

}  // namespace tsr::tools
