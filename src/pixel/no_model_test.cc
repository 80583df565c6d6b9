// The two forms of the no-model rule (domain/model.h) on real outcomes: a
// pixel without a model by its fit's outcome has none by its stored
// products, and the stored products also call no model what the fit
// retained none of (criterion kNoCriterion, all parameters 0).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "lsq/constants.h"
#include "pixel/reconstruct.h"

namespace tsr {
namespace {

enum class Outcome { kModel, kNoModel, kRetainedNothing };

TEST(NoModelRule, StoredProductsAgreeWithTheFitsOutcome) {
  constexpr int32_t nb = 46;
  std::vector<int16_t> curve(nb), cloudy(nb), high(nb);
  for (int32_t t = 0; t < nb; ++t) {
    curve[t] = static_cast<int16_t>(800 + std::lround(200 * std::sin(2 * 3.141592653589793 * t / nb)));
    cloudy[t] = t % 7 ? curve[t] : int16_t{50};
    high[t] = static_cast<int16_t>(20000 + std::lround(400.0 * std::sin(t * 0.4)));
  }
  struct Case {
    const char* name;
    std::vector<int16_t> series;
    int32_t nfunc;
    EnvelopeFilter filter;
    Outcome outcome;
  };
  const Case cases[] = {
      {"a curve", curve, 6, EnvelopeFilter::kFillDips, Outcome::kModel},
      {"a cloud every seventh sample", cloudy, 6, EnvelopeFilter::kFillDips, Outcome::kModel},
      {"one harmonic", curve, 1, EnvelopeFilter::kFillDips, Outcome::kNoModel},
      {"far above one, unfiltered", high, 6, EnvelopeFilter::kNone, Outcome::kNoModel},
      {"constant", std::vector<int16_t>(nb, 800), 6, EnvelopeFilter::kFillDips, Outcome::kRetainedNothing},
      {"zeros", std::vector<int16_t>(nb, 0), 6, EnvelopeFilter::kFillDips, Outcome::kRetainedNothing},
      {"no data", std::vector<int16_t>(nb, kRawNoData), 6, EnvelopeFilter::kFillDips, Outcome::kRetainedNothing},
  };
  auto ws = std::make_unique<PixelWorkspace>();
  auto input = std::make_unique<PixelInput>();
  auto result = std::make_unique<PixelResult>();
  for (const Case& c : cases) {
    PixelSettings s;
    s.nb = nb;
    s.nfunc = c.nfunc;
    s.np = parameter_count(c.nfunc);
    s.nwin = 3;
    s.filter = c.filter;
    s.fit_valid_only = true;
    s.lower_threshold = -static_cast<double>(0.15f);
    s.upper_threshold = static_cast<double>(0.15f) * kWideThresholdFactor;
    auto x = std::make_unique<FunctionMatrix>();
    build_function_matrix(nb, nb, c.nfunc, harmonic_frequencies, *x);
    for (int32_t t = 0; t < nb; ++t) {
      input->series[t] = c.series[t];
      input->weights[t] = 1;
    }
    reconstruct_pixel(s, *x, *input, *result, *ws);
    std::vector<float> stored(result->params, result->params + s.np);  // as p.bsq holds them
    const bool stored_model =
        stored_has_model(static_cast<int8_t>(result->order), stored.data(), s.np, 1);
    const bool fit_none = fit_has_no_model(result->criterion, result->order);
    EXPECT_EQ(fit_none, c.outcome == Outcome::kNoModel) << c.name;
    EXPECT_EQ(result->criterion == kNoCriterion, c.outcome == Outcome::kRetainedNothing) << c.name;
    EXPECT_EQ(stored_model, c.outcome == Outcome::kModel) << c.name;
  }
}

}  // namespace
}  // namespace tsr
