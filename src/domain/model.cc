#include "domain/model.h"

namespace tsr {

std::string parameter_name(int32_t plane) {
  if (plane == kConstantPlane) return "constant";
  if (plane == kTrendPlane) return "trend";
  const int32_t harmonic = plane / 2;
  return (is_phase_plane(plane) ? "phase_" : "amplitude_") + std::to_string(harmonic);
}

std::vector<std::string> parameter_names(int32_t nfunc) {
  std::vector<std::string> names;
  for (int32_t j = 0; j < parameter_count(nfunc); ++j) names.push_back(parameter_name(j));
  return names;
}

bool stored_has_model(int8_t order, const float* params, int32_t np, ptrdiff_t stride) {
  if (order < kMinModelOrder) return false;
  for (int32_t j = 0; j < np; ++j) {
    if (params[j * stride] != 0.0f) return true;
  }
  return false;
}

}  // namespace tsr
