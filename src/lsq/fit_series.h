// The series a fit runs on: its values, which of its samples take part, and
// the basis functions. Nothing here is owned: the caller keeps the storage
// alive for the call.
#pragma once

#include <cstdint>

#include "lsq/function_matrix.h"

namespace tsr {

struct FitSeries {
  // Time steps of the series. A fit evaluates at most as many as its matrix
  // and its workspace hold (see each fit).
  int32_t nb = 0;
  // nb values: y[i - 1] is time step i.
  const double* y = nullptr;
  // nb flags: the sample takes part in the fit when bit 0 of use[i - 1] is set.
  const uint8_t* use = nullptr;
  // The basis functions; x->at(t, j) is function j at time step t.
  const FunctionMatrix* x = nullptr;
};

}  // namespace tsr
