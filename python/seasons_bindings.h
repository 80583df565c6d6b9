// The seasons module for Python: tsrecon._tsrecon.seasons, the band names of
// the maps (SEASON_BAND_NAMES) and their file (SEASONS_FILE).
#pragma once

#include <pybind11/pybind11.h>

void add_seasons(pybind11::module_& m);
