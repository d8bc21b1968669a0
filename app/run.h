// The run: from a scanned command line to the process exit status.
#pragma once

#include <cstdio>

#include "app/command_line.h"

// Starts the socket layer. Returns 0, or 1 after the level-1 message.
int startSockets();

// Stops the socket layer when it runs; harmless to call twice.
void stopSockets();

// Logs the clean-up and stops the socket layer.
void finishRun();

// Writes out and closes an output stream: flushed first, since some
// runtimes hide a failed flush inside the close. Returns 1, or 0 after the
// level-1 line naming the call that failed.
int closeOutput(std::FILE* output);

// Runs the download the command line asks for. Returns the exit status.
int runCommandLine(const CommandLine& commandLine);
