// tsrecon: reconstructs the time series of every pixel of an image cube.
#include "control/driver.h"

int main(int argc, char** argv) { return tsr::run_program(argc, argv); }
