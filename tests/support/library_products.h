// Buffers for every product of tsrecon::reconstruct, and their bytes as the
// product files hold them, for the tests of the library and the programs
// they run.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tsrecon/tsrecon.h"

namespace tsr::testing {

struct LibraryProducts {
  LibraryProducts(const tsrecon::Settings& settings, const tsrecon::CubeSize& size)
      : plane(int64_t{size.nl} * size.ns),
        keeps_preliminary(settings.intp == 1),
        fitted(static_cast<size_t>(size.nb * plane)),
        preliminary(fitted.size()),
        minimum(static_cast<size_t>(plane)),
        maximum(minimum.size()),
        params(static_cast<size_t>(settings.parameter_count() * plane)),
        criterion(minimum.size()),
        order(minimum.size()) {}

  tsrecon::Products products() {
    return {fitted.data(), params.data(),    preliminary.data(), order.data(),
            criterion.data(), minimum.data(), maximum.data()};
  }

  // (file name, bytes) of every product the settings make, in the order of
  // the run's file table; i.bsq only with intp = 1.
  std::vector<std::pair<std::string, std::string>> files() const {
    std::vector<std::pair<std::string, std::string>> out = {{"p.bsq", bytes_of(params)}};
    if (keeps_preliminary) out.emplace_back("i.bsq", bytes_of(preliminary));
    out.emplace_back("f.bsq", bytes_of(fitted));
    out.emplace_back("order.dat", bytes_of(order));
    out.emplace_back("aic.dat", bytes_of(criterion));
    out.emplace_back("min.dat", bytes_of(minimum));
    out.emplace_back("max.dat", bytes_of(maximum));
    return out;
  }

  template <typename T>
  static std::string bytes_of(const std::vector<T>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
  }

  int64_t plane;
  bool keeps_preliminary;
  std::vector<int16_t> fitted, preliminary, minimum, maximum;
  std::vector<float> params, criterion;
  std::vector<int8_t> order;
};

}  // namespace tsr::testing
