// The main driver: run parameters, function matrix, the file set, the line
// loop over the cube, and the end of the run.
#pragma once

namespace tsr {

// The whole program. Never returns for a run (every run ends through the
// runtime's stop or error paths); returns an exit status only for the command
// line options that do not start a run.
int run_program(int argc, char** argv);

}  // namespace tsr
