// The command line: `tarnwick IMAGE` prints the volume label, `tarnwick IMAGE LABEL` sets it.
#pragma once

namespace tarnwick {

// Writes the usage text to standard output.
void print_usage();

// Runs the tool on its arguments and returns the exit status: 0 after the usage text and
// after a successful pass, 1 when the pass failed (its message already printed).
int run_command(int argc, char** argv);

}  // namespace tarnwick
