#include "app/info_option.h"

#include <cerrno>
#include <cstring>

#include "app/run.h"
#include "support/log.h"

namespace {

const int kStatusWriteFailed = 4;

// Writes the program's version and its licence's name. Returns 1, or 0
// with errno set when a write failed.
int writeVersion(std::FILE* stream) {
    static const char kVersionLines[] = "webhaul " WEBHAUL_VERSION "\nMIT License\n";
    size_t length = sizeof kVersionLines - 1;
    return std::fwrite(kVersionLines, 1, length, stream) == length;
}

}  // namespace

int answerInfoOption(InfoOption option) {
    int written = option == infoHelp ? writeUsage(stdout) : writeVersion(stdout);
    if (!written) {
        logAt(1, "fwrite: %s\n", std::strerror(errno));
        std::fclose(stdout);
        return kStatusWriteFailed;
    }
    // A pipe or file that refuses the buffered text says so only here.
    return closeOutput(stdout) ? 0 : kStatusWriteFailed;
}
