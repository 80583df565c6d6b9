// pixel_bench: the pixel work alone -- reconstruct_pixel on tsrecon-gen's
// pixels, drawn in memory, no reading or writing -- with a chosen engine,
// kernel, series length (any, not only the executable's 3..200) and number of
// threads. Prints the pixels per second (best of --repeat runs, on
// a monotonic clock) and a checksum of every result bit, so that runs with
// different engines or kernels can be checked for the same products.
//
// Under valgrind --tool=callgrind use --repeat 1: the instruction counts of
// one pass over the pixels. (valgrind does not run AVX-512: the widest kernel
// it reports is AVX2.)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lsq/function_matrix.h"
#include "pixel/reconstruct.h"
#include "runtime/env.h"
#include "runtime/workers.h"
#include "tools/gen/synthetic_pixels.h"

namespace {

struct Options {
  int32_t nb = 46;
  int32_t pixels = 1000;
  int32_t nfunc = 6;
  int32_t npoint = 46;
  int threads = 1;
  int repeat = 3;
  uint64_t seed = 20;
  tsr::LsqEngine engine = tsr::LsqEngine::kFast;
  tsr::FastKernel kernel = tsr::widest_fast_kernel();
};

const char* kUsage =
    "usage: pixel_bench [--nb N] [--pixels P] [--nfunc F] [--npoint N] [--threads T] [--repeat R]\n"
    "                   [--seed S] [--engine fast|literal] [--kernel avx512|avx2|sse2]\n";

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const std::string v = argv[i + 1];
    if (a == "--nb") o.nb = std::atoi(v.c_str());
    else if (a == "--pixels") o.pixels = std::atoi(v.c_str());
    else if (a == "--nfunc") o.nfunc = std::atoi(v.c_str());
    else if (a == "--npoint") o.npoint = std::atoi(v.c_str());
    else if (a == "--threads") o.threads = std::atoi(v.c_str());
    else if (a == "--repeat") o.repeat = std::atoi(v.c_str());
    else if (a == "--seed") o.seed = std::strtoull(v.c_str(), nullptr, 10);
    else if (a == "--engine" && (v == "fast" || v == "literal")) {
      o.engine = v == "fast" ? tsr::LsqEngine::kFast : tsr::LsqEngine::kLiteral;
    } else if (a == "--kernel" && v == "avx512") o.kernel = tsr::FastKernel::kAvx512;
    else if (a == "--kernel" && v == "avx2") o.kernel = tsr::FastKernel::kAvx2;
    else if (a == "--kernel" && v == "sse2") o.kernel = tsr::FastKernel::kSse2;
    else return false;
  }
  return argc % 2 == 1 && o.nb >= tsr::kMinBands && o.pixels >= 1 && o.nfunc >= 0 &&
         o.nfunc <= tsr::kMaxHarmonics && o.npoint >= 1 && o.threads >= 1 && o.repeat >= 1 &&
         tsr::fast_kernel_supported(o.kernel);
}

const char* kernel_name(tsr::FastKernel k) {
  switch (k) {
    case tsr::FastKernel::kAvx512: return "avx512";
    case tsr::FastKernel::kAvx2: return "avx2";
    case tsr::FastKernel::kSse2: return "sse2";
  }
  return "?";
}

// The pixels of tsrecon-gen's cube of the same seed and size (--pixels
// samples on one line), band by band.
std::vector<int16_t> generate(const Options& o) {
  std::mt19937_64 rng(o.seed);
  const tsr::PixelShape shape{o.nb, o.npoint};
  std::vector<int16_t> raw(static_cast<size_t>(o.nb) * static_cast<size_t>(o.pixels));
  for (int32_t p = 0; p < o.pixels; ++p) tsr::draw_pixel(shape, rng, &raw[static_cast<size_t>(p) * o.nb], nullptr, 1);
  return raw;
}

// A default run's settings (NWIN 3, MMSW 1, FITMD 0, FITSW 1, INTP 1, TCLD 0.15).
tsr::PixelSettings settings_of(const Options& o) {
  tsr::PixelSettings s;
  s.nb = o.nb;
  s.nfunc = o.nfunc;
  s.np = 2 * o.nfunc + 2;
  s.nwin = 3;
  s.filter = tsr::EnvelopeFilter::kFillDips;
  s.keep_preliminary = true;
  s.fit_valid_only = true;
  const double tcld = static_cast<double>(0.15f);  // TCLD's default: the 4-byte real 0.15
  s.lower_threshold = -tcld;
  s.upper_threshold = tcld * tsr::kWideThresholdFactor;
  return s;
}

struct Worker {
  explicit Worker(int32_t nb) : input(nb), result(nb), workspace(nb) {}
  tsr::PixelInput input;
  tsr::PixelResult result;
  tsr::PixelWorkspace workspace;
};

// FNV-1a over bytes.
void mix(uint64_t& h, const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::vector<int16_t> raw = generate(o);
  const tsr::PixelSettings settings = settings_of(o);
  tsr::FunctionMatrix x(o.nb);
  tsr::build_function_matrix(o.nb, o.npoint, o.nfunc, tsr::harmonic_frequencies, x);
  std::vector<std::unique_ptr<Worker>> workers;
  for (int i = 0; i < o.threads; ++i) {
    workers.push_back(std::make_unique<Worker>(o.nb));
    workers.back()->workspace.engine = o.engine;
    workers.back()->workspace.fast_fit.kernel = o.kernel;
  }
  // Per pixel: the fitted series, the parameters and the scalars, as bits.
  const size_t per_pixel = static_cast<size_t>(o.nb) + tsr::kMatrixColumns + 2;
  std::vector<double> out(per_pixel * static_cast<size_t>(o.pixels));
  const tsr::WorkerPool::Work work = [&](int worker, int64_t p) {
    Worker& w = *workers[static_cast<size_t>(worker)];
    const int16_t* series = &raw[static_cast<size_t>(p) * o.nb];
    for (int32_t b = 0; b < o.nb; ++b) {
      w.input.series[b] = series[b];
      w.input.weights[b] = 1;
    }
    tsr::reconstruct_pixel(settings, x, w.input, w.result, w.workspace);
    double* o_p = &out[static_cast<size_t>(p) * per_pixel];
    std::copy(w.result.fitted.begin(), w.result.fitted.begin() + o.nb, o_p);
    std::copy(std::begin(w.result.params), std::end(w.result.params), o_p + o.nb);
    o_p[o.nb + tsr::kMatrixColumns] = w.result.criterion;
    o_p[o.nb + tsr::kMatrixColumns + 1] = w.result.order;
  };

  tsr::WorkerPool pool(o.threads);
  const std::unique_ptr<tsr::Env> env = tsr::new_posix_env();
  double best = 0.0;
  for (int r = 0; r < o.repeat; ++r) {
    const double start = env->now_seconds();
    pool.run(o.pixels, work);
    const double seconds = env->now_seconds() - start;
    if (r == 0 || seconds < best) best = seconds;
  }
  uint64_t checksum = 0xcbf29ce484222325ull;
  mix(checksum, out.data(), out.size() * sizeof(double));
  std::printf("nb %d pixels %d nfunc %d engine %s kernel %s threads %d: best of %d %.4f s, %.1f pixels/s, "
              "%.2f us/pixel, checksum %016llx\n",
              o.nb, o.pixels, o.nfunc, o.engine == tsr::LsqEngine::kFast ? "fast" : "literal",
              o.engine == tsr::LsqEngine::kFast ? kernel_name(o.kernel) : "-", pool.size(), o.repeat, best,
              o.pixels / best, 1e6 * best / o.pixels, static_cast<unsigned long long>(checksum));
  return 0;
}
