// Runs a program as a child process with its standard error and output
// captured, under a deadline, optionally interrupting it with a signal; and
// the small file helpers that tests of a built program need.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/support/fake_server.h"

struct ProgramOutcome {
    int exitStatus = -1;     // -1 when it did not exit normally
    int killedBySignal = 0;  // the signal that ended it, if any
    int timedOut = 0;
    std::string standardError;
    std::string standardOutput;
    // When each line of standardError ended, in milliseconds from the start.
    std::vector<int> lineEndMillis;
};

struct ProgramOptions {
    int deadlineMillis = 20000;
    // When set: send interruptSignal as soon as standard error contains this text.
    std::string interruptWhenSeen;
    int interruptSignal = SIGINT;
    int interruptDelayMillis = 0;  // from the text seen to the signal
    std::string workingDirectory;
    unsigned short serverPort = 80;  // where runAgainstServer listens
    std::string tlsLeaf;  // when set, runAgainstServer speaks TLS with this test leaf
    std::vector<std::string> environment;  // "NAME=value": more variables for the program alone
    std::string hostsFile;  // when set, the program sees this file as /etc/hosts (Linux)
};

// The exit status of a program that could not be given its hosts file.
const int kHostsFileNotPlaced = 125;

ProgramOutcome runProgram(const std::vector<std::string>& arguments, const ProgramOptions& options = {});

// Returns the captured text as the tests compare it with expected. Under
// Wine a reset that arrives before the program waits in recv reads as an
// orderly close (Wine's server takes the error for itself, where Windows
// reports it), so there a "recv: Disconnected" note stands for the
// "recv: Connection reset" that expected has. Elsewhere: the text itself.
std::string withWineResets(const std::string& captured, const std::string& expected);

// Skips the test when the program runs under Wine (the Windows build's
// program tests), giving the reason; does nothing otherwise.
#ifdef WEBHAUL_UNDER_WINE
#define SKIP_UNDER_WINE(reason) GTEST_SKIP() << (reason)
#else
#define SKIP_UNDER_WINE(reason) static_cast<void>(0)
#endif

// Creates a new empty directory under the system's temporary directory.
// Returns its path with a trailing "/", or "" on failure.
std::string makeScratchDirectory();

// Removes the directory and the plain files in it.
void removeScratchDirectory(const std::string& directory);

// Returns the names in the directory, sorted, without "." and "..".
std::vector<std::string> directoryEntries(const std::string& directory);

// Reads a whole file. Returns 1 with its bytes, 0 when it cannot be read.
int readFileBytes(const std::string& path, std::string& bytes);

// Writes bytes to a new or emptied file. Returns 1 on success, 0 otherwise.
int writeFileBytes(const std::string& path, const std::string& bytes);

// A scratch directory that lives as long as the value.
struct ScratchDirectory {
    std::string path = makeScratchDirectory();
    ~ScratchDirectory() { removeScratchDirectory(path); }
};

// Returns the arguments with each "OUT" replaced by outputPath.
std::vector<std::string> withOutputPath(const std::vector<std::string>& arguments, const std::string& outputPath);

// What a run of a program against the scripted server left.
struct Exchange {
    int ready = 0;  // 1 when the server was set up as asked
    ProgramOutcome outcome;
    std::vector<std::string> requests;  // as the server received them
};

// Serves the scripts on 127.0.0.1 (port 80 unless the options name
// another) while the program runs; with no scripts nothing listens, so
// every connect is refused.
Exchange runAgainstServer(const std::vector<ConnectionScript>& scripts, const std::vector<std::string>& arguments,
                          const ProgramOptions& options = {});

// Starts a program in the background, standard error going to errorFile.
// Returns its process id, or -1.
int startInBackground(const std::vector<std::string>& arguments, const std::string& errorFile);

// Gives a background program graceMillis to exit, then ends it with
// SIGTERM. Returns its exit status, or -1 when a signal ended it.
int stopInBackground(int processId, int graceMillis);

// Waits until the file contains text. Returns 1, or 0 after deadlineMillis.
int waitForFileText(const std::string& path, const std::string& text, int deadlineMillis);

// Names each case of a parameterised table after its name field.
template <typename Case>
std::string nameOf(const testing::TestParamInfo<Case>& tested) {
    return tested.param.name;
}

#ifdef WEBHAUL_BINARY
// The program's command line, with the argument "OUT" replaced by output.
inline std::vector<std::string> programWith(const std::vector<std::string>& arguments, const std::string& output) {
    std::vector<std::string> command = {WEBHAUL_BINARY};
    for (const std::string& argument : withOutputPath(arguments, output)) command.push_back(argument);
    return command;
}
#endif
