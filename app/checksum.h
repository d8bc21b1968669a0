// -d: the SHA-256 the file must have. A run that would end with 0 or 10
// hashes what it stored (read back from the file, or as it was written
// into an output that cannot be read back) and ends with 7 on a mismatch.
#pragma once

#include "app/command_line.h"
#include "http/transfer.h"

// Reads the value after -d into the command line: the last -d decides,
// and a malformed one leaves the line that refuses it.
void scanChecksumOption(const char* text, CommandLine& commandLine);

// Refuses a -d the run cannot check and loads SHA-256 before the file is
// touched. Returns 1, or 0 after the level-1 line (the run ends with 1).
int checksumReady(const CommandLine& commandLine);

// Hashes as they are written the bytes of an output that cannot be read
// back; -c into one is refused. Returns 0, or the exit status after the
// level-1 line.
int prepareChecksum(const CommandLine& commandLine, TransferRequest& request);

// Checks the stored bytes of a run that ended with status 0 or 10.
// Returns the status the run ends with: status itself, 7 on a mismatch,
// or 1 or 4 when the bytes could not be hashed (after the level-1 line).
int checkChecksum(const CommandLine& commandLine, TransferRequest& request, int status);
