#include "app/server_argument.h"

#include <cctype>
#include <cstring>

namespace {

const char kHttpScheme[] = "http";
const int kHighestPort = 65535;
// The most of a bad port's text that its line repeats.
const int kShownPortLength = 20;

// Returns 1 for a character that may follow the first letter of a scheme.
int isSchemeCharacter(char character) {
    return std::isalnum(static_cast<unsigned char>(character)) || character == '+' || character == '-' ||
           character == '.';
}

// Returns the length of the scheme word when text starts with "word://",
// 0 otherwise.
int schemeLength(const char* text) {
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
    int length = 1;
    while (isSchemeCharacter(text[length])) ++length;
    return std::strncmp(text + length, "://", 3) == 0 ? length : 0;
}

// Reads a port written in decimal digits alone. Returns 1 with port set
// when it is 1 to 65535, 0 otherwise.
int readPort(const char* text, int length, int& port) {
    if (length == 0) return 0;
    int value = 0;
    for (int index = 0; index < length; ++index) {
        if (text[index] < '0' || text[index] > '9') return 0;
        value = value * 10 + (text[index] - '0');
        if (value > kHighestPort) return 0;  // also keeps long digit runs from overflowing
    }
    if (value < 1) return 0;
    port = value;
    return 1;
}

// Sets the bad-port line. The port's text is shown cut to kShownPortLength
// characters and with control characters as "?", so the line stays one
// short line whatever was typed.
void noteBadPort(const char* text, int length, BoundedString& problem) {
    char shown[kShownPortLength + 4];
    int count = length < kShownPortLength ? length : kShownPortLength;
    for (int index = 0; index < count; ++index) {
        unsigned char byte = static_cast<unsigned char>(text[index]);
        shown[index] = byte < 32 || byte == 127 ? '?' : text[index];
    }
    if (length > count) {
        std::memcpy(shown + count, "...", 3);
        count += 3;
    }
    shown[count] = '\0';
    assignFormat(problem, "Bad port: \"%s\" (a port is a number from 1 to 65535)\n", shown);
}

// Splits "host[:port]" of the given length. Returns 1, or 0 with the problem.
int splitHostAndPort(const char* text, int length, ServerArgument& server, BoundedString& problem) {
    const void* colon = std::memchr(text, ':', static_cast<size_t>(length));
    int hostLength = colon == nullptr ? length : static_cast<int>(static_cast<const char*>(colon) - text);
    if (hostLength == 0) {
        assignText(problem, "Empty host name in the server address\n");
        return 0;
    }
    if (colon != nullptr) {
        const char* portText = text + hostLength + 1;
        int portLength = length - hostLength - 1;
        if (!readPort(portText, portLength, server.port)) {
            noteBadPort(portText, portLength, problem);
            return 0;
        }
    }
    assignBytes(server.host, text, hostLength);
    return 1;
}

// Takes the request target after the host: a fragment is dropped, and a
// query alone gets the root path in front. Leaves path empty when nothing
// is left.
void takeTarget(const char* target, BoundedString& path) {
    int length = static_cast<int>(std::strcspn(target, "#"));
    if (length > 0 && target[0] == '?') {
        // The byte before the query (at worst the last "/" of "http://") is
        // copied along and becomes the root path's "/".
        assignBytes(path, target - 1, length + 1);
        if (path.buffer != nullptr) path.buffer[0] = '/';
        return;
    }
    assignBytes(path, target, length);
}

// Returns 1 when the scheme word of the given length is "http" in any case.
int isHttpScheme(const char* text, int length) {
    if (length != 4) return 0;
    for (int index = 0; index < length; ++index) {
        if (std::tolower(static_cast<unsigned char>(text[index])) != kHttpScheme[index]) return 0;
    }
    return 1;
}

// Parses what follows "http://". Returns 1, or 0 with the problem.
int parseUrl(const char* rest, ServerArgument& server, BoundedString& problem) {
    int authorityLength = static_cast<int>(std::strcspn(rest, "/?#"));
    if (std::memchr(rest, '@', static_cast<size_t>(authorityLength)) != nullptr) {
        assignText(problem, "User information in the URL is not supported\n");
        return 0;
    }
    if (!splitHostAndPort(rest, authorityLength, server, problem)) return 0;
    takeTarget(rest + authorityLength, server.path);
    return 1;
}

}  // namespace

int parseServerArgument(const char* text, ServerArgument& server, BoundedString& problem) {
    int scheme = schemeLength(text);
    if (scheme == 0) return splitHostAndPort(text, static_cast<int>(std::strlen(text)), server, problem);
    if (!isHttpScheme(text, scheme)) {
        assignFormat(problem, "Unsupported scheme: %.*s\n", scheme, text);
        return 0;
    }
    return parseUrl(text + scheme + 3, server, problem);
}
