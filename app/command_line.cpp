#include "app/command_line.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "app/server_argument.h"
#include "app/checksum.h"
#include "http/transfer.h"
#include "support/ascii_text.h"
#include "support/log.h"
#include "support/shown_text.h"

namespace {

// What scanRange finds.
enum RangeReading { rangeMalformed, rangeRead, rangeOutOfBounds };

// Reads "<integer>-<integer>" the way the format "%d-%d" does, with 64-bit
// numbers; a last byte of -1 stands for the end of the file. Returns a
// RangeReading; only rangeRead stores the bytes.
int scanRange(const char* text, std::int64_t& first, std::int64_t& last) {
    char* end = nullptr;
    long long from = std::strtoll(text, &end, 10);
    if (end == text || *end != '-') return rangeMalformed;
    const char* second = end + 1;
    long long to = std::strtoll(second, &end, 10);
    if (end == second) return rangeMalformed;
    if (from < 0 || from > kLargestByteCount) return rangeOutOfBounds;
    if (to != -1 && (to < from || to > kLargestByteCount)) return rangeOutOfBounds;
    first = from;
    last = to;
    return rangeRead;
}

// A malformed range only clears the range; one that no file can hold
// makes the command line wrong.
void scanRangeOption(const char* text, CommandLine& commandLine) {
    int reading = scanRange(text, commandLine.rangeFirst, commandLine.rangeLast);
    if (reading == rangeMalformed) {
        commandLine.rangeFirst = -1;
        commandLine.rangeLast = -1;
    }
    if (reading == rangeOutOfBounds && commandLine.rangeProblem.length == 0) {
        BoundedString shown = escapedCopy(text);
        assignFormat(commandLine.rangeProblem, "Bad range: \"%s\" (a range is F-L or F--1, with 0 <= F <= L <= %" PRId64 ")\n",
                     textOf(shown), kLargestByteCount);
    }
}

// The largest number of seconds -t and -w take; its milliseconds fit an int.
const long kLongestSeconds = 2000000;

// Reads the whole seconds that follow an option letter into seconds, which
// an argument without digits leaves unchanged; larger counts are capped.
void scanSeconds(const char* text, int& seconds) {
    if (*text < '0' || *text > '9') return;
    long value = std::strtol(text, nullptr, 10);
    seconds = static_cast<int>(value < kLongestSeconds ? value : kLongestSeconds);
}

// The most connections -s takes for one file.
const int kMostConnections = 16;

// Reads the connection count after -s; an argument without digits leaves
// it unchanged, and a count outside 1..16 is taken as the nearer end.
void scanConnections(const char* text, int& connections) {
    if (*text < '0' || *text > '9') return;
    long value = std::strtol(text, nullptr, 10);
    connections = value < 1 ? 1 : static_cast<int>(value < kMostConnections ? value : kMostConnections);
}

void scanOption(const char* argument, CommandLine& commandLine) {
    switch (asciiLower(argument[1])) {
        case 'h':
            commandLine.headersOnly = 1;
            break;
        case 'c':
            commandLine.continueFile = 1;
            break;
        case 'f':
            commandLine.failOnError = 1;
            break;
        case 'k':
            commandLine.acceptAnyCertificate = 1;
            break;
        case 'd':
            scanChecksumOption(argument + 2, commandLine);
            break;
        case 'r':
            scanRangeOption(argument + 2, commandLine);
            break;
        case 's':
            scanConnections(argument + 2, commandLine.connections);
            break;
        case 't':
            scanSeconds(argument + 2, commandLine.idleLimitSeconds);
            break;
        case 'w':
            scanSeconds(argument + 2, commandLine.firstPauseSeconds);
            break;
        case 'v':
            if (argument[2] >= '0' && argument[2] <= '9') verbosity = argument[2] - '0';
            break;
        default:
            break;  // other letters and a lone "-" are ignored
    }
}

void storePositional(const char* argument, CommandLine& commandLine) {
    if (commandLine.positionalCount == 0) assignText(commandLine.localFile, argument);
    if (commandLine.positionalCount == 1) commandLine.server = argument;
    if (commandLine.positionalCount == 2) commandLine.path = argument;
    ++commandLine.positionalCount;
}

// Notes the first --help or --version; any other argument is left alone.
void noteInfoOption(const char* argument, CommandLine& commandLine) {
    if (commandLine.infoOption != infoNone) return;
    if (std::strcmp(argument, "--help") == 0) commandLine.infoOption = infoHelp;
    if (std::strcmp(argument, "--version") == 0) commandLine.infoOption = infoVersion;
}

}  // namespace

void scanArguments(int argumentCount, char** arguments, CommandLine& commandLine) {
    for (int index = 1; index < argumentCount; ++index) {
        const char* argument = arguments[index];
        noteInfoOption(argument, commandLine);
        if (argument[0] == '-') {
            scanOption(argument, commandLine);
        } else {
            storePositional(argument, commandLine);
        }
    }
}

namespace {

// The host name in the example of the usage text.
#define WEBHAUL_EXAMPLE_HOST "www.example.com"

// The usage text, a line at a time; both of its destinations take it from here.
const char* const kUsageLines[] = {
    "Usage: Webhaul [<options>] <local-filename> <server-address> [<path-on-server>]\n",
    "Options:\n",
    "  -vn    n = level of verbosity: 0..9 -> 0=none, 9=full, default=2\n",
    "  -rn-m  Retreive from byte n to byte m inclusive\n",
    "  -h     Request headers only\n",
    "  -c     Continue a partial local file\n",
    "  -f     Fail on an error status (400 or more)\n",
    "  -tn    n = seconds without data before an attempt fails, 0=never, default=60\n",
    "  -wn    n = seconds to wait before the first poor retry, doubling, default=1\n",
    "  -k     Accept any server certificate (https)\n",
    "  -sn    n = connections for one file, each fetching a part: 1..16, default=1\n",
    "  -dx    x = SHA-256 of the file, 64 hex digits: checked when it is complete\n",
    "\n",
    "E.G. To retreive //" WEBHAUL_EXAMPLE_HOST "/vellum/foo.zip you would say:\n",
    "C:\\> webhaul foo.zip " WEBHAUL_EXAMPLE_HOST " /vellum/foo.zip\n",
};

}  // namespace

void printUsage() {
    for (const char* line : kUsageLines) logAt(0, "%s", line);
}

int refusePositionals(const CommandLine& commandLine) {
    // A URL pasted first would be taken for the file, and the file's name
    // looked up as the server.
    int urlFirst = commandLine.positionalCount >= 1 && isWebUrl(textOf(commandLine.localFile));
    if (!urlFirst && commandLine.positionalCount >= 2 && commandLine.positionalCount <= 3) return 0;
    printUsage();
    if (urlFirst) logAt(1, "The local file name comes first: webhaul <file> <URL>\n");
    return 1;
}

int writeUsage(std::FILE* stream) {
    for (const char* line : kUsageLines) {
        size_t length = std::strlen(line);
        if (std::fwrite(line, 1, length, stream) != length) return 0;
    }
    return 1;
}
