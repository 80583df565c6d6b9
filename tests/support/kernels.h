// The fast engine's kernels this processor runs, so that an equivalence test
// runs each of them (a workspace's kernel is set directly, without the
// processor check that picks the default).
#pragma once

#include <string>
#include <vector>

#include "lsq/select_fit_fast.h"

namespace tsr::testing {

inline std::vector<FastKernel> supported_fast_kernels() {
  std::vector<FastKernel> kernels;
  for (FastKernel k : {FastKernel::kSse2, FastKernel::kAvx2, FastKernel::kAvx512}) {
    if (fast_kernel_supported(k)) kernels.push_back(k);
  }
  return kernels;
}

inline std::string kernel_name(FastKernel k) {
  switch (k) {
    case FastKernel::kSse2: return "sse2";
    case FastKernel::kAvx2: return "avx2";
    case FastKernel::kAvx512: return "avx512";
  }
  return "unknown";
}

}  // namespace tsr::testing
