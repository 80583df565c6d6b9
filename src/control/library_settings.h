// The library's Settings (include/tsrecon/tsrecon.h) of a run's parameters,
// for code that holds RunParameters and calls the library.
#pragma once

#include "control/run_parameters.h"
#include "tsrecon/tsrecon.h"

namespace tsr {

// The members that shape the reconstruction, with the excluded bands as read.
tsrecon::Settings library_settings(const RunParameters& p);

}  // namespace tsr
