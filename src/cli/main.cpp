#include "cli/command.h"

int main(int argc, char** argv) { return tarnwick::run_command(argc, argv); }
