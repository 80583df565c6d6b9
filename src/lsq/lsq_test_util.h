// Shared helpers of the least-squares tests: function matrices and series
// built from known coefficients. Bit patterns: support/bits.h.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "lsq/function_matrix.h"
#include "lsq/workspace.h"
#include "support/bits.h"

namespace tsr::lsqtest {

inline std::unique_ptr<FunctionMatrix> make_matrix(int32_t nb, int32_t npoint, int32_t nfunc) {
  auto x = std::make_unique<FunctionMatrix>();
  build_function_matrix(nb, npoint, nfunc, harmonic_frequencies, *x);
  return x;
}

// Value of the model with coefficients coef (coef[k-1] for column k) at time t.
inline double model_value(const FunctionMatrix& x, const std::vector<double>& coef, int32_t t) {
  double v = 0.0;
  for (size_t k = 1; k <= coef.size(); ++k) v += coef[k - 1] * x.at(t, static_cast<int>(k));
  return v;
}

// Deterministic noise in [-amplitude, amplitude).
class Noise {
 public:
  explicit Noise(uint64_t seed) : gen_(seed) {}
  double next(double amplitude) {
    const double u = static_cast<double>(gen_() >> 11) * (1.0 / 9007199254740992.0);
    return amplitude * (2.0 * u - 1.0);
  }
  uint64_t below(uint64_t limit) { return gen_() % limit; }

 private:
  std::mt19937_64 gen_;
};

// n samples of the model plus noise.
inline std::vector<double> make_series(const FunctionMatrix& x, const std::vector<double>& coef,
                                       int32_t n, double noise, uint64_t seed) {
  Noise rng(seed);
  std::vector<double> y(n);
  for (int32_t t = 1; t <= n; ++t) y[t - 1] = model_value(x, coef, t) + rng.next(noise);
  return y;
}

}  // namespace tsr::lsqtest
