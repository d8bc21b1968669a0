#include "app/command_line.h"

#include <cctype>
#include <cstdlib>

#include "support/log.h"

namespace {

// Reads "<integer>-<integer>" the way the format "%d-%d" does, with 64-bit
// numbers. Returns 1 when both integers were read, 0 otherwise.
int scanRange(const char* text, std::int64_t& first, std::int64_t& last) {
    char* end = nullptr;
    long long from = std::strtoll(text, &end, 10);
    if (end == text || *end != '-') return 0;
    const char* second = end + 1;
    long long to = std::strtoll(second, &end, 10);
    if (end == second) return 0;
    first = from;
    last = to;
    return 1;
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

void scanOption(const char* argument, CommandLine& commandLine) {
    switch (std::tolower(static_cast<unsigned char>(argument[1]))) {
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
        case 'r':
            if (!scanRange(argument + 2, commandLine.rangeFirst, commandLine.rangeLast)) {
                commandLine.rangeFirst = -1;
                commandLine.rangeLast = -1;
            }
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
    BoundedString* slots[] = {&commandLine.localFile, &commandLine.server, &commandLine.path};
    if (commandLine.positionalCount < 3) assignText(*slots[commandLine.positionalCount], argument);
    ++commandLine.positionalCount;
}

}  // namespace

void scanArguments(int argumentCount, char** arguments, CommandLine& commandLine) {
    for (int index = 1; index < argumentCount; ++index) {
        const char* argument = arguments[index];
        if (argument[0] == '-') {
            scanOption(argument, commandLine);
        } else {
            storePositional(argument, commandLine);
        }
    }
}

// The host name in the example of the usage text.
static const char kExampleHost[] = "www.example.com";

void printUsage() {
    logAt(0, "Usage: Webhaul [<options>] <local-filename> <server-address> [<path-on-server>]\n");
    logAt(0, "Options:\n");
    logAt(0, "  -vn    n = level of verbosity: 0..9 -> 0=none, 9=full, default=2\n");
    logAt(0, "  -rn-m  Retreive from byte n to byte m inclusive\n");
    logAt(0, "  -h     Request headers only\n");
    logAt(0, "  -c     Continue a partial local file\n");
    logAt(0, "  -f     Fail on an error status (400 or more)\n");
    logAt(0, "  -tn    n = seconds without data before an attempt fails, 0=never, default=60\n");
    logAt(0, "  -wn    n = seconds to wait before the first poor retry, doubling, default=1\n");
    logAt(0, "  -k     Accept any server certificate (https)\n");
    logAt(0, "\n");
    logAt(0, "E.G. To retreive //%s/vellum/foo.zip ", kExampleHost);
    logAt(0, "you would say:\n");
    logAt(0, "C:\\> webhaul foo.zip %s ", kExampleHost);
    logAt(0, "/vellum/foo.zip\n");
}
