// The command line: `tarnwick IMAGE` prints the volume label, `tarnwick IMAGE LABEL` sets it;
// `--help` (`-h`) or `--version` (`-V`) as the only argument prints the usage text or the
// version.
#pragma once

namespace tarnwick {

// Writes the usage text to standard output.
void print_usage();

// Runs the tool on its arguments and returns the exit status: 0 after the usage text, the
// version and a successful pass, 1 when the label is not valid UTF-8 ("Label is not valid
// UTF-8", nothing opened) or the pass failed (its message already printed).
int run_command(int argc, char** argv);

}  // namespace tarnwick
