// The run: from a scanned command line to the process exit status.
#pragma once

#include "app/command_line.h"

// Starts the socket layer. Returns 0, or 1 after the level-1 message.
int startSockets();

// Stops the socket layer when it runs; harmless to call twice.
void stopSockets();

// Logs the clean-up and stops the socket layer.
void finishRun();

// Runs the download the command line asks for. Returns the exit status.
int runCommandLine(const CommandLine& commandLine);
