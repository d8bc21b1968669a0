// Feeds an arbitrary argument vector to the argument scan and checks the
// scanned command line against a plain model of the scanning rules, then
// takes the server argument apart and checks what any outcome must hold. The
// input is split at zero bytes; each argument gets a heap block of exactly
// its size, so a read past its terminating zero is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/server_argument.h"
#include "support/log.h"
#include "tests/fuzz/integer_model.h"

namespace {

const size_t kLargestInput = 1 << 18;
const int kStartingVerbosity = 3;

struct ArgumentModel {
    int headersOnly = 0;
    std::int64_t rangeFirst = -1;
    std::int64_t rangeLast = -1;
    bool rangeRefused = false;  // a range no file can hold
    int verbosity = kStartingVerbosity;
    std::vector<std::string> positional;
};

void modelRange(ArgumentModel& model, const std::string& text) {
    std::int64_t first = 0, last = 0;
    size_t at = readInteger(text, 0, first);
    if (at == 0 || at >= text.size() || text[at] != '-' || readInteger(text, at + 1, last) == 0) {
        model.rangeFirst = model.rangeLast = -1;
        return;
    }
    const std::int64_t largest = std::int64_t(1) << 60;
    if (first < 0 || first > largest || (last != -1 && (last < first || last > largest))) {
        model.rangeRefused = true;
        return;
    }
    model.rangeFirst = first;
    model.rangeLast = last;
}

void modelOption(ArgumentModel& model, const std::string& argument) {
    char letter = argument.size() > 1 ? argument[1] : '\0';
    if (letter == 'h' || letter == 'H') model.headersOnly = 1;
    if (letter == 'r' || letter == 'R') modelRange(model, argument.substr(2));
    if ((letter == 'v' || letter == 'V') && argument.size() > 2 && isDigit(argument[2])) {
        model.verbosity = argument[2] - '0';
    }
}

ArgumentModel modelScan(const std::vector<std::string>& arguments) {
    ArgumentModel model;
    for (size_t index = 1; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (!argument.empty() && argument[0] == '-') {
            modelOption(model, argument);
        } else {
            model.positional.push_back(argument);
        }
    }
    return model;
}

std::vector<std::string> splitAtZeros(const std::uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"webhaul"};
    if (size == 0) return arguments;
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        arguments.push_back(text.substr(start, end - start));
    }
    arguments.push_back(text.substr(start));
    return arguments;
}

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void checkAgainstModel(const std::vector<std::string>& arguments, const CommandLine& commandLine) {
    ArgumentModel model = modelScan(arguments);
    check(commandLine.headersOnly == model.headersOnly, "headersOnly");
    check(commandLine.rangeFirst == model.rangeFirst, "rangeFirst");
    check(commandLine.rangeLast == model.rangeLast, "rangeLast");
    check((commandLine.rangeProblem.length > 0) == model.rangeRefused, "rangeProblem");
    check(verbosity == model.verbosity, "verbosity");
    check(commandLine.positionalCount == static_cast<int>(model.positional.size()), "positionalCount");
    // The file name is copied, to the string cap; the others are kept whole.
    const std::string stored[] = {textOf(commandLine.localFile), commandLine.server, commandLine.path};
    const std::string unset[] = {"", "", "/"};
    for (size_t slot = 0; slot < 3; ++slot) {
        std::string expected = slot < model.positional.size() ? model.positional[slot] : unset[slot];
        if (slot == 0) expected = expected.substr(0, kBoundedStringCap);
        check(expected == stored[slot], "positional argument stored");
    }
}

// A refused argument gets one line; an accepted one a host taken from it
// without its port, a port in range and a path that is a path.
void checkServerArgument(const char* argument) {
    ServerArgument server;
    BoundedString problem;
    if (!parseServerArgument(argument, server, problem)) {
        std::string line = textOf(problem);
        check(!line.empty() && line.find('\n') == line.size() - 1, "a refusal is one line");
        return;
    }
    std::string text = argument, host = textOf(server.host), path = textOf(server.path);
    // An IPv6 address, which came in brackets, keeps its colons.
    bool bracketed = text.find('[') != std::string::npos;
    check(!host.empty() && (bracketed || host.find(':') == std::string::npos), "host without its port");
    check(text.find(host) != std::string::npos, "host taken from the argument");
    check(server.port >= 1 && server.port <= 65535, "port in range");
    check(path.empty() || path[0] == '/', "path starts with a slash");
    check(path.find('#') == std::string::npos, "fragment dropped");
    if (text.find("://") == std::string::npos && text.find(':') == std::string::npos) {
        check(host == text && server.port == 80 && path.empty(), "plain host taken whole");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size > kLargestInput) return 0;
    std::vector<std::string> arguments = splitAtZeros(data, size);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        char* copy = static_cast<char*>(std::malloc(argument.size() + 1));
        std::memcpy(copy, argument.c_str(), argument.size() + 1);
        argv.push_back(copy);
    }
    argv.push_back(nullptr);
    verbosity = kStartingVerbosity;
    CommandLine commandLine;
    scanArguments(static_cast<int>(arguments.size()), argv.data(), commandLine);
    checkAgainstModel(arguments, commandLine);
    checkServerArgument(commandLine.server);
    for (char* copy : argv) std::free(copy);
    return 0;
}
