// The rules of real stacks for Python (src/stack): the calendar and CF time
// axes, the grids in time and NPOINT against them, compositing, and the
// missing-sample rule. The package's layers (tsrecon.reconstruct,
// tsrecon.xarray) check cubes and time axes with them.
#pragma once

#include <pybind11/pybind11.h>

void add_stack_checks(pybind11::module_& m);
