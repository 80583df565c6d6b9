// The speed of the seasons computation, in pixels a second on one core.
//
//   seasons_bench                       parameters of the kind a year of
//                                       MODIS NDVI gives (NPOINT=23, NFUNC=4;
//                                       NPOINT=46, NFUNC=6)
//   TSRECON_BENCH_RUN=DIR seasons_bench also the pixels of a finished run in
//                                       DIR (p.bsq, order.dat; NPOINT from
//                                       TSRECON_BENCH_NPOINT, default 23)
//
// Pixels with a model only: a pixel without one costs nothing.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "seasons/seasons.h"
#include "support/bytes.h"
#include "stack/dates.h"

namespace {

constexpr int32_t kCycles[tsr::kMaxSeasonHarmonics] = {1, 2, 3, 4, 6, 12};

struct Pixels {
  int32_t np = 0;
  size_t count = 0;
  std::vector<float> params;  // planes
  std::vector<uint8_t> has_model;
};

// Constant, trend and harmonics as the fits of NDVI-like series give them
// (scaled units): a main annual cycle, smaller faster ones.
Pixels synthetic_pixels(int32_t nfunc, size_t count) {
  Pixels px;
  px.np = 2 * nfunc + 2;
  px.count = count;
  px.params.assign(static_cast<size_t>(px.np) * count, 0.0f);
  px.has_model.assign(count, 1);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (size_t i = 0; i < count; ++i) {
    auto set = [&](int32_t j, double v) { px.params[static_cast<size_t>(j) * count + i] = static_cast<float>(v); };
    set(0, 0.15 + 0.2 * u(rng));
    set(1, 0.04 * (u(rng) - 0.5));
    for (int32_t k = 0; k < nfunc; ++k) {
      set(2 + 2 * k, (k == 0 ? 0.1 : 0.05 / k) * u(rng));
      set(3 + 2 * k, 6.283185307179586 * u(rng) - 3.141592653589793);
    }
  }
  return px;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The pixels with a model of a finished run.
Pixels run_pixels(const std::string& dir) {
  Pixels px;
  const std::string p = read_file(dir + "/p.bsq"), order = read_file(dir + "/order.dat");
  if (order.empty() || p.size() % (4 * order.size()) != 0) return px;
  const size_t n = order.size();
  px.np = static_cast<int32_t>(p.size() / (4 * n));
  const std::vector<float> all = tsr::testing::floats_le(p);
  std::vector<size_t> keep;
  for (size_t i = 0; i < n; ++i) {
    bool zero = true;
    for (int32_t j = 0; j < px.np; ++j) zero = zero && all[j * n + i] == 0.0f;
    if (static_cast<int8_t>(order[i]) > 1 && !zero) keep.push_back(i);
  }
  px.count = keep.size();
  px.params.resize(static_cast<size_t>(px.np) * px.count);
  px.has_model.assign(px.count, 1);
  for (size_t c = 0; c < px.count; ++c)
    for (int32_t j = 0; j < px.np; ++j) px.params[j * px.count + c] = all[j * n + keep[c]];
  return px;
}

void run(benchmark::State& state, const Pixels& px, int32_t nb, int32_t npoint, bool dates) {
  const int32_t nfunc = (px.np - 2) / 2;
  // 16-day (or 8-day) composites from 2013-09-14 on, from 1 January again
  // every year.
  std::vector<double> days;
  for (int32_t year = 2013; static_cast<int32_t>(days.size()) < nb; ++year) {
    const int32_t jan1 = tsr::days_from_civil({year, 1, 1}), next = tsr::days_from_civil({year + 1, 1, 1});
    for (int32_t d = year == 2013 ? jan1 + 256 : jan1; d < next && static_cast<int32_t>(days.size()) < nb;
         d += 16 * 23 / npoint)
      days.push_back(d);
  }
  tsr::SeasonsModel model{nb, npoint, nfunc, kCycles, dates ? days.data() : nullptr};
  tsr::SeasonsOptions options;
  options.factor = 1600.0;
  tsr::SeasonsPlan plan;
  std::string error;
  if (px.count == 0 || !plan.init(model, options, &error)) {
    state.SkipWithError(px.count == 0 ? "no pixels" : error.c_str());
    return;
  }
  tsr::SeasonsWorkspace ws(plan);
  std::vector<float> bands(static_cast<size_t>(tsr::kSeasonBandCount) * px.count);
  for (auto _ : state) {
    tsr::compute_seasons_run(plan, px.params.data(), px.count, px.has_model.data(), px.count, &ws, bands.data(),
                             px.count);
    benchmark::DoNotOptimize(bands.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(px.count));
}

// NPOINT (and NB: a year of composites), NFUNC, band dates or none.
void BM_Synthetic(benchmark::State& state) {
  const int32_t npoint = static_cast<int32_t>(state.range(0)), nfunc = static_cast<int32_t>(state.range(1));
  const Pixels px = synthetic_pixels(nfunc, 4096);
  run(state, px, npoint, npoint, state.range(2) != 0);
}
BENCHMARK(BM_Synthetic)
    ->ArgNames({"npoint", "nfunc", "dates"})
    ->Args({23, 4, 0})
    ->Args({23, 4, 1})
    ->Args({46, 6, 0})
    ->Args({46, 6, 1});

void BM_Run(benchmark::State& state) {
  const char* dir = std::getenv("TSRECON_BENCH_RUN");
  if (dir == nullptr) {
    state.SkipWithError("set TSRECON_BENCH_RUN to a run's directory");
    return;
  }
  static const Pixels px = run_pixels(dir);
  const char* npoint = std::getenv("TSRECON_BENCH_NPOINT");
  const int32_t n = npoint != nullptr ? std::atoi(npoint) : 23;
  run(state, px, n, n, state.range(0) != 0);
}
BENCHMARK(BM_Run)->ArgName("dates")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
