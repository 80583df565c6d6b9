// One pixel reconstructed exactly as the program does it, with everything a
// person needs to judge the result: the raw series, which samples the final
// fit used, the preliminary and the final fit, and the model parameters.
#pragma once

#include <cstdint>
#include <vector>

#include "control/run_parameters.h"
#include "domain/model.h"
#include "runtime/status.h"
#include "seasons/seasons.h"

namespace tsr::tools {

struct PixelReport {
  int32_t line = 0, sample = 0;       // 1-based place in the cube
  int32_t nb = 0, nfunc = 0, npoint = 0;
  bool mask = false;                  // MASK = 1: the mask replaced the residual screening
  double lower_threshold = 0.0, upper_threshold = 0.0;
  std::vector<int16_t> raw;           // data.bsq values, band 1 first
  std::vector<int16_t> weights_in;    // 1, or the mask.bsq values
  std::vector<bool> excluded;         // band listed in cntl.dat
  std::vector<int16_t> weights_out;   // 1: the band took part in the final fit
  std::vector<double> preliminary;    // preliminary fit (all 0.0 under MASK = 1)
  std::vector<double> fitted;         // final fit (all 0.0 when the fit gave up)
  std::vector<double> final_input;    // series the final fit read: raw / kRawScale after
                                      // gap filling and the envelope filter
  std::vector<double> params;         // NP values: constant, trend, amplitude/phase pairs
  double criterion = 0.0;
  int32_t order = 0, min = 0, max = 0;
  // The fit left no model (the no-model rule on the fit's outcome).
  bool failed() const { return fit_has_no_model(criterion, order); }
};

// One pixel to report on: its place and its inputs as read.
struct PixelToReport {
  int32_t line = 0, sample = 0;      // 1-based place in the cube
  std::vector<int16_t> raw;          // data.bsq values, NB of them, band 1 first
  std::vector<int16_t> mask_values;  // mask.bsq values, NB of them; only read when MASK = 1
};

// Reconstructs one pixel with the run's parameters (completed) as the run
// does (control/pixel_runner.h) into *report; the runner's refusal as the
// run would give it. The preliminary fit is always kept, whatever INTP says,
// and the outputs are those that the run stores for the pixel.
Status reconstruct_single_pixel(const RunParameters& p, const PixelToReport& pixel, PixelReport* report);

// The values the run writes for the pixel: its f.bsq and i.bsq series and its
// p.bsq parameters, converted as the product writers convert them.
std::vector<int16_t> fitted_product_values(const PixelReport& r);
std::vector<int16_t> preliminary_product_values(const PixelReport& r);
std::vector<float> parameter_product_values(const PixelReport& r);

// The seasons of the pixel's model as tsrecon-seasons finds them with its
// default thresholds, from the values the run stores (p.bsq, and the order
// by the no-model rule on the stored products): `days` the dates of the NB
// bands (day numbers) or empty for steps, `factor` raw per unit of the
// values shown. Count 0 where the pixel has no model or no season.
SeasonDetail pixel_seasons(const PixelReport& r, const std::vector<int32_t>& days, double factor);

}  // namespace tsr::tools
