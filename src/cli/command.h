// The command line: `tarnwick IMAGE` prints the volume label, `tarnwick IMAGE LABEL` sets it,
// `tarnwick -n IMAGE LABEL` shows what setting it would write. Options may stand anywhere
// before an argument "--" (after which every argument is a path or a label): -n/--dry-run,
// -h/--help, -V/--version.
#pragma once

namespace tarnwick {

// Writes the usage text to standard output.
void print_usage();

// Runs the tool on its arguments and returns the exit status. Without arguments: the usage
// text, 0. Every argument is read before anything is done, and refusals open nothing: an
// argument beginning with "-" that is no option ("Unknown option: %s", 1; the first such); then
// --help (the usage text and the options, 0) wins over --version ("tarnwick 1.0", 0), and
// either over the operands; more than two operands ("Too many arguments: a label with spaces
// goes in quotes", 1); options without an operand (the usage text, 1); a label that is not
// valid UTF-8 ("Label is not valid UTF-8", 1). Otherwise the pass runs: 0 when it succeeds, 1
// when it failed (its message already printed). A dry run without a label is a read.
int run_command(int argc, char** argv);

}  // namespace tarnwick
