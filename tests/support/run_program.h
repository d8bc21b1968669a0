// Runs a program as a child process with its standard error and output
// captured, under a deadline, optionally interrupting it with SIGINT.
#pragma once

#include <string>
#include <vector>

struct ProgramOutcome {
    int exitStatus = -1;     // -1 when it did not exit normally
    int killedBySignal = 0;  // the signal that ended it, if any
    int timedOut = 0;
    std::string standardError;
    std::string standardOutput;
};

struct ProgramOptions {
    int deadlineMillis = 20000;
    // When set: send SIGINT as soon as standard error contains this text.
    std::string interruptWhenSeen;
    std::string workingDirectory;
};

ProgramOutcome runProgram(const std::vector<std::string>& arguments, const ProgramOptions& options = {});
