// The rules of real image stacks for Python (src/stack): day numbers and CF
// time axes, the grids in time and the choice among them, windows and the
// step limit, compositing onto a grid, quality layers, the missing-sample
// rule. One binding per C++ function, under its C++ name; a refusal of the
// C++ code is a ValueError with its message. The import, the check's
// Python callers and the xarray layer take these rules from here.
#pragma once

#include <pybind11/pybind11.h>

void add_stack(pybind11::module_& m);
