// The domain's words for Python (src/domain): constants, the harmonic table,
// the parameters' layout and names, the table of a run's files, the header
// keys and the one ENVI header reader, the no-model rule and the raw
// conversion on NumPy arrays, and the NPOINT/NFUNC policy. The package
// tsrecon and its tools take them from here.
#pragma once

#include <pybind11/pybind11.h>

void add_vocabulary(pybind11::module_& m);
