// --help and --version: what the program says about itself, on standard
// output, in place of a run.
#pragma once

#include "app/command_line.h"

// Writes the usage text or the version lines to standard output and closes
// it. Returns 0, or 4 after the level-1 line of a failed write.
int answerInfoOption(InfoOption option);
