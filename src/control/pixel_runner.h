// The road of one pixel through the reconstruction, for everything that runs
// pixels: the driver (its line buffers), the library (the caller's product
// planes) and tsrecon-plot's pixel report. A runner stages the pixel's
// series and weights as the driver does, calls reconstruct_pixel and puts
// the results where its caller asks, as the fit gives them or as the
// products store them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "lsq/function_matrix.h"
#include "lsq/select_fit_fast.h"
#include "pixel/pixel_settings.h"
#include "pixel/reconstruct.h"
#include "runtime/status.h"
#include "runtime/workers.h"

namespace tsr {

// What every pixel of a run shares. Built once; only read by the runners,
// which keep a reference to it.
struct PixelRunOptions {
  PixelSettings settings;
  // Built for the settings' bands and harmonics (build_function_matrix);
  // owned by the caller.
  const FunctionMatrix* matrix = nullptr;
  LsqEngine engine = LsqEngine::kFast;
};

// Where one pixel's inputs lie: the value of band b (from 0) at
// series[b * stride] and its weight at mask[b * stride] or
// mask_bytes[b * stride]; every weight is 1 when neither is given (at most
// one may be).
struct PixelSource {
  const int16_t* series = nullptr;
  const int16_t* mask = nullptr;        // mask values as 16-bit integers (the driver's mask_line)
  const uint8_t* mask_bytes = nullptr;  // mask bytes as stored (a cube in memory)
  int64_t stride = 1;
};

// Where a pixel's results go; a null pointer is not written. Band b (from 0)
// of a series goes to [b * series_stride], parameter j to [j * param_stride];
// a map value to [0].
struct PixelOutputs {
  int64_t series_stride = 1;
  int64_t param_stride = 1;

  // As the fit gives them, for the product writers (the driver stages them in
  // its line buffers). The preliminary series is copied whether or not the
  // settings keep it (then it holds what the result held before).
  double* fitted = nullptr;
  double* preliminary = nullptr;
  double* params = nullptr;
  double* criterion = nullptr;
  // The maps: order, minimum and maximum narrowed to 16 bits by keeping the
  // low bits (min.dat and max.dat store these).
  int16_t* order = nullptr;
  int16_t* minimum = nullptr;
  int16_t* maximum = nullptr;

  // As the products store them (io/conversions.h), for products held in memory.
  int16_t* stored_fitted = nullptr;       // f.bsq
  int16_t* stored_preliminary = nullptr;  // i.bsq
  float* stored_params = nullptr;         // p.bsq
  int8_t* stored_order = nullptr;         // order.dat
  float* stored_criterion = nullptr;      // aic.dat
};

// One worker's pixels, one at a time: its working storage and the last
// pixel's inputs and results, sized for the run's series (about 0.7 MB in
// use up to 200 bands, 2.9 MB at 1000; see memory_bytes): create it once on
// the heap and reuse it for every pixel. One thread at a time.
class PixelRunner {
 public:
  explicit PixelRunner(const PixelRunOptions& options);

  // The series length a runner's storage is built for: the run's, and at
  // least the executable's kMaxBands.
  static int32_t capacity_for(const PixelSettings& settings);
  // Memory a runner for `settings` and `engine` uses (pixel_storage_bytes of
  // its capacity; the literal engine's reflection matrix only when that
  // engine runs); UINT64_MAX when the count does not fit 64 bits.
  static uint64_t memory_bytes(const PixelSettings& settings, LsqEngine engine);
  PixelRunner(const PixelRunner&) = delete;
  PixelRunner& operator=(const PixelRunner&) = delete;

  // Reconstructs the pixel at `source` and writes what `outputs` asks for;
  // or refuses, writing nothing, where reconstruct_pixel refuses: the run's
  // settings do not fit the storage (more bands than the matrix or the
  // runner holds, harmonics or parameters beyond the matrix, an excluded
  // band outside 1..nb). The refusal comes from the settings alone, so every
  // pixel of the run would get it.
  [[nodiscard]] Status run(const PixelSource& source, const PixelOutputs& outputs);

  // The last pixel's staged inputs, full results and working storage (the
  // series the final fit read is workspace().work), for reports.
  const PixelInput& input() const { return input_; }
  const PixelResult& result() const { return result_; }
  const PixelWorkspace& workspace() const { return workspace_; }

 private:
  const PixelRunOptions& options_;
  PixelInput input_;
  PixelResult result_;
  PixelWorkspace workspace_;
};

// Many pixels over a pool of threads, a runner for each. Threads: called by
// the thread that built the pool.
class PixelPool {
 public:
  // Where pixel `item` (0..count-1) of a task lies and where its results go.
  using Placement = std::function<void(int64_t item, PixelSource& source, PixelOutputs& outputs)>;

  // At most `threads` threads (at least 1); `options` must outlive the pool.
  PixelPool(const PixelRunOptions& options, int threads);

  // Reconstructs pixels 0..count-1, each where `place` says. Before each
  // pixel it takes, the calling thread asks `stop` (when given); once that
  // returns true, or a runner has refused a pixel, no thread takes another
  // one. Returns true when every pixel was done and none refused; refusal()
  // tells a refusal apart from a stop.
  bool run(int64_t count, const Placement& place, const WorkerPool::StopCheck& stop = {});

  // The threads, for tasks of another shape (a BatchStream): worker w of a
  // task reconstructs its pixels with run_one(w, ...), which is run() for
  // one pixel on that worker's runner; a refusal is kept for refusal().
  WorkerPool& workers() { return pool_; }
  void run_one(int worker, const PixelSource& source, const PixelOutputs& outputs);

  // The first refusal of a pixel since the pool was built (ok when none):
  // the caller's to return. Any thread may ask.
  Status refusal() const;

 private:
  std::vector<std::unique_ptr<PixelRunner>> runners_;
  WorkerPool pool_;
  std::atomic<bool> refused_{false};
  mutable std::mutex refusal_mutex_;
  Status refusal_;  // guarded by refusal_mutex_
};

}  // namespace tsr
