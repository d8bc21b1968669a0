#include "app/info_option.h"

#include <cerrno>
#include <cstring>

#include "app/run.h"
#include "support/log.h"

namespace {

const int kStatusWriteFailed = 4;

const char kVersionLines[] = "webhaul " WEBHAUL_VERSION "\nMIT License\n";

// What --help says after the usage text: enough to start without the
// manual, and where the manual is.
const char kHelpSection[] =
    "\n"
    "Server address: host[:port] (port 80 unless given), [v6] or [v6]:port for\n"
    "IPv6 (Linux only), or an http:// or https:// URL (https: port 443).\n"
    "Environment: http_proxy, https_proxy or HTTPS_PROXY, no_proxy or NO_PROXY;\n"
    "SSL_CERT_FILE and SSL_CERT_DIR (the authorities https trusts, on Linux);\n"
    "NETRC, else HOME (USERPROFILE on Windows), for the .netrc with logins.\n"
    "An existing file is kept as it is until a reply's body replaces it.\n"
    "Exit status:\n"
    "  0   fetched on the first attempt; or --help or --version\n"
    "  1   wrong arguments, a bad server address or proxy variable\n"
    "  2   the server's name (or the proxy's) could not be resolved\n"
    "  3   the server refused the request (-f), a login (401) or a proxy (407)\n"
    "  4   the output file could not be opened, written or closed\n"
    "  5   TLS was refused: the certificate or the handshake\n"
    "  6   a redirect was not followed\n"
    "  7   the file's SHA-256 is not the one -d gave\n"
    "  10  fetched after retries\n"
    "  11  gave up: the last attempt could not create a socket\n"
    "  12  gave up: the last attempt could not connect\n"
    "  13  gave up: the last attempt could not send the request\n"
    "  14  gave up: the last attempt failed receiving, or its reply was cut short\n"
    "  99  interrupted\n"
    "See webhaul(1) or the README for the rules of broken transfers.\n";

// Writes the text. Returns 1, or 0 with errno set when a write failed.
int writeText(std::FILE* stream, const char* text) {
    size_t length = std::strlen(text);
    return std::fwrite(text, 1, length, stream) == length;
}

}  // namespace

int answerInfoOption(InfoOption option) {
    int written = option == infoHelp ? writeUsage(stdout) && writeText(stdout, kHelpSection)
                                     : writeText(stdout, kVersionLines);
    if (!written) {
        logAt(1, "fwrite: %s\n", std::strerror(errno));
        std::fclose(stdout);
        return kStatusWriteFailed;
    }
    // A pipe or file that refuses the buffered text says so only here.
    return closeOutput(stdout) ? 0 : kStatusWriteFailed;
}
