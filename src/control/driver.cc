#include "control/driver.h"

#include "control/run_parameters.h"
#include "runtime/errors.h"

namespace tsr {

int run_program(int, char**) {
  start_runtime();
  RunParameters params;
  read_run_parameters(params);
  derive_run_parameters(params);
  stop_run();
}

}  // namespace tsr
