// The command line: options and positional arguments as the scan leaves
// them, and the usage text printed when they do not fit.
#pragma once

#include <cstdint>
#include <cstdio>

#include "support/bounded_string.h"

// What a --help or --version argument asks for in place of a run.
enum InfoOption { infoNone, infoHelp, infoVersion };

struct CommandLine {
    InfoOption infoOption = infoNone;  // the first --help or --version
    int headersOnly = 0;
    int continueFile = 0;  // -c: keep the local file and ask for the rest
    int failOnError = 0;   // -f: an error status stores nothing and fails
    int acceptAnyCertificate = 0;  // -k: https without checking the certificate
    std::int64_t rangeFirst = -1;
    std::int64_t rangeLast = -1;
    BoundedString rangeProblem;  // the line about a -r no file can answer
    BoundedString localFile;
    // The server argument and the path as given: never copied, so that a
    // limit on them refuses them whole rather than cutting them.
    const char* server = "";
    const char* path = "/";
    int positionalCount = 0;  // counts arguments past the third as well
    int idleLimitSeconds = 60;   // -t: 0 waits for ever
    int firstPauseSeconds = 1;   // -w: before the first poor retry; 0: none
    int connections = 1;         // -s: connections that fetch parts of the file at once
    int checksumGiven = 0;                 // -d: the file's SHA-256 is checked
    unsigned char checksum[32] = {};       // -d: the SHA-256 the file must have
    BoundedString checksumProblem;         // the line about a -d value that is none
};

// Scans the arguments after the program name; -v sets verbosity at once.
void scanArguments(int argumentCount, char** arguments, CommandLine& commandLine);

// Writes the usage text at level 0.
void printUsage();

// Writes the usage text at level 0 when the positional arguments do not
// fit, then a level-1 line when a URL stands where the local file does.
// Returns 1 when they do not fit.
int refusePositionals(const CommandLine& commandLine);

// Writes the usage text to the stream. Returns 1, or 0 with errno set when
// a write failed.
int writeUsage(std::FILE* stream);
