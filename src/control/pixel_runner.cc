#include "control/pixel_runner.h"

#include <algorithm>
#include <string>

#include "io/conversions.h"

namespace tsr {
namespace {

// reconstruct_pixel's refusal in words: what the settings ask of the storage.
Status refused_pixel(const PixelSettings& s, int32_t capacity) {
  return Status::refused("the pixel reconstruction refuses its settings: " + std::to_string(s.nb) +
                         " bands (its storage holds " + std::to_string(capacity) + "), " + std::to_string(s.nfunc) +
                         " harmonics, " + std::to_string(s.np) + " parameters, " +
                         std::to_string(s.excluded_bands.size()) + " excluded bands (each within 1.." +
                         std::to_string(s.nb) + ")");
}

}  // namespace

int32_t PixelRunner::capacity_for(const PixelSettings& settings) { return std::max(settings.nb, kMaxBands); }

uint64_t PixelRunner::memory_bytes(const PixelSettings& settings, LsqEngine engine) {
  const PixelStorageBytes b = pixel_storage_bytes(capacity_for(settings));
  const uint64_t own = sizeof(PixelRunner) - sizeof(PixelInput) - sizeof(PixelResult) - sizeof(PixelWorkspace);
  const uint64_t reflection = engine == LsqEngine::kLiteral ? b.reflection : 0;
  return reflection > UINT64_MAX - b.in_use - own ? UINT64_MAX : b.in_use + own + reflection;
}

PixelRunner::PixelRunner(const PixelRunOptions& options)
    : options_(options),
      input_(capacity_for(options.settings)),
      result_(capacity_for(options.settings)),
      workspace_(capacity_for(options.settings)) {
  workspace_.engine = options.engine;
}

Status PixelRunner::run(const PixelSource& source, const PixelOutputs& outputs) {
  const PixelSettings& settings = options_.settings;
  const int64_t nb = settings.nb;
  const int64_t np = settings.np;
  for (int64_t b = 0; b < nb; ++b) {
    const int64_t at = b * source.stride;
    input_.series[b] = source.series[at];
    input_.weights[b] = source.mask != nullptr         ? source.mask[at]
                        : source.mask_bytes != nullptr ? static_cast<int16_t>(source.mask_bytes[at])
                                                       : int16_t{1};
  }
  if (!reconstruct_pixel(settings, *options_.matrix, input_, result_, workspace_)) {
    return refused_pixel(settings, pixel_capacity(*options_.matrix, input_, result_, workspace_));
  }

  const PixelResult& r = result_;
  const int64_t ss = outputs.series_stride;
  const int64_t ps = outputs.param_stride;
  for (int64_t b = 0; b < nb; ++b) {
    if (outputs.fitted != nullptr) outputs.fitted[b * ss] = r.fitted[b];
    if (outputs.preliminary != nullptr) outputs.preliminary[b * ss] = r.preliminary[b];
    if (outputs.stored_fitted != nullptr) outputs.stored_fitted[b * ss] = scaled_series_value(r.fitted[b]);
    if (outputs.stored_preliminary != nullptr) {
      outputs.stored_preliminary[b * ss] = scaled_series_value(r.preliminary[b]);
    }
  }
  for (int64_t j = 0; j < np; ++j) {
    if (outputs.params != nullptr) outputs.params[j * ps] = r.params[j];
    if (outputs.stored_params != nullptr) outputs.stored_params[j * ps] = real4_value(r.params[j]);
  }
  // The maps keep the low 16 bits of the order and the extremes.
  const auto order = static_cast<int16_t>(r.order);
  if (outputs.criterion != nullptr) *outputs.criterion = r.criterion;
  if (outputs.order != nullptr) *outputs.order = order;
  if (outputs.minimum != nullptr) *outputs.minimum = static_cast<int16_t>(r.minimum);
  if (outputs.maximum != nullptr) *outputs.maximum = static_cast<int16_t>(r.maximum);
  if (outputs.stored_order != nullptr) *outputs.stored_order = static_cast<int8_t>(order_byte(order));
  if (outputs.stored_criterion != nullptr) *outputs.stored_criterion = aic_value(r.criterion);
  return Status::ok();
}

PixelPool::PixelPool(const PixelRunOptions& options, int threads) : pool_(std::max(1, threads)) {
  for (int i = 0; i < std::max(1, threads); ++i) runners_.push_back(std::make_unique<PixelRunner>(options));
}

bool PixelPool::run(int64_t count, const Placement& place, const WorkerPool::StopCheck& stop) {
  const WorkerPool::Work work = [&](int worker, int64_t item) {
    PixelSource source;
    PixelOutputs outputs;
    place(item, source, outputs);
    run_one(worker, source, outputs);
  };
  const WorkerPool::StopCheck stop_or_refused = [&] {
    return refused_.load(std::memory_order_acquire) || (stop && stop());
  };
  const bool done = pool_.run(count, work, stop_or_refused);
  return done && !refused_.load(std::memory_order_acquire);
}

void PixelPool::run_one(int worker, const PixelSource& source, const PixelOutputs& outputs) {
  Status s = runners_[static_cast<size_t>(worker)]->run(source, outputs);
  if (s.is_ok()) return;
  std::lock_guard<std::mutex> lock(refusal_mutex_);
  if (refusal_.is_ok()) refusal_ = std::move(s);
  refused_.store(true, std::memory_order_release);
}

Status PixelPool::refusal() const {
  if (!refused_.load(std::memory_order_acquire)) return Status::ok();
  std::lock_guard<std::mutex> lock(refusal_mutex_);
  return refusal_;
}

}  // namespace tsr
