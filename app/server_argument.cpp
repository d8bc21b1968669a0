#include "app/server_argument.h"

#include <cctype>
#include <cstring>

#include "http/authorization.h"
#include "support/ascii_text.h"
#include "support/shown_text.h"

namespace {

const int kHighestPort = 65535;
// The most of a bad port's text that its line repeats.
const int kShownPortLength = 20;
const int kShownHostLength = 40;
// Spaces become "%20" in a path, three bytes for one.
const int kEscapedSpaceLength = 3;

// Returns the length of the scheme word when text starts with "word://",
// 0 otherwise.
int schemeLength(const char* text) {
    int length = schemeWordLength(text);
    return length > 0 && std::strncmp(text + length, "://", 3) == 0 ? length : 0;
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

// Sets the bad-port line, the port's text shown cut.
void noteBadPort(const char* text, int length, BoundedString& problem) {
    BoundedString shown;
    appendEscapedCut(shown, text, length, kShownPortLength);
    assignFormat(problem, "Bad port: \"%s\" (a port is a number from 1 to 65535)\n", textOf(shown));
}

// Returns 1 for a byte that could end a request line or start a header.
int isControlByte(char character) {
    unsigned char byte = static_cast<unsigned char>(character);
    return byte < 32 || byte == 127;
}

// Returns 1 when text holds a control byte among its length bytes.
int holdsControlByte(const char* text, int length) {
    for (int index = 0; index < length; ++index) {
        if (isControlByte(text[index])) return 1;
    }
    return 0;
}

// Returns 1 for a character of a host name.
int isHostNameCharacter(char character) {
    return std::isalnum(static_cast<unsigned char>(character)) || character == '-' || character == '_' ||
           character == '.';
}

// Returns 1 when the length bytes at text are a name or, in brackets, an
// IPv6 address (hex digits, colons, and dots of an embedded IPv4 tail).
int isAcceptableHost(const char* text, int length) {
    if (text[0] == '[') {
        if (length < 3 || text[length - 1] != ']') return 0;
        for (int index = 1; index < length - 1; ++index) {
            if (!std::isxdigit(static_cast<unsigned char>(text[index])) && text[index] != ':' && text[index] != '.') {
                return 0;
            }
        }
        return 1;
    }
    for (int index = 0; index < length; ++index) {
        if (!isHostNameCharacter(text[index])) return 0;
    }
    return 1;
}

// Sets the bad-host line, the host shown cut as the bad port is.
void noteBadHost(const char* text, int length, BoundedString& problem) {
    BoundedString shown;
    appendEscapedCut(shown, text, length, kShownHostLength);
    assignFormat(problem, "Bad host name: \"%s\" (letters, digits, '-', '_' and '.', or an IPv6 address in brackets)\n",
                 textOf(shown));
}

// Checks the host of the given length and keeps it. Returns 1, or 0 with
// the problem.
int takeHost(const char* text, int length, ServerArgument& server, BoundedString& problem) {
    if (length == 0) {
        assignText(problem, "Empty host name in the server address\n");
        return 0;
    }
    if (!isAcceptableHost(text, length)) {
        noteBadHost(text, length, problem);
        return 0;
    }
    if (length > kLongestHostName) {
        assignText(problem, "The host name is too long\n");
        return 0;
    }
#ifdef _WIN32
    if (text[0] == '[') {
        assignText(problem, kNoIpv6Line);
        return 0;
    }
#endif
    assignBytes(server.host, text, length);
    return 1;
}

// Splits "host[:port]" of the given length; an IPv6 host is in brackets,
// which the host keeps for the Host line. Returns 1, or 0 with the problem.
int splitHostAndPort(const char* text, int length, ServerArgument& server, BoundedString& problem) {
    if (length <= 0) return takeHost(text, 0, server, problem);
    int hostLength = length;
    if (text[0] == '[') {
        const void* close = std::memchr(text, ']', static_cast<size_t>(length));
        if (close != nullptr) hostLength = static_cast<int>(static_cast<const char*>(close) - text) + 1;
    } else {
        const void* colon = std::memchr(text, ':', static_cast<size_t>(length));
        if (colon != nullptr) hostLength = static_cast<int>(static_cast<const char*>(colon) - text);
    }
    if (hostLength < length && text[hostLength] != ':') {
        noteBadHost(text, length, problem);
        return 0;
    }
    if (!takeHost(text, hostLength, server, problem)) return 0;
    if (hostLength < length) {
        const char* portText = text + hostLength + 1;
        int portLength = length - hostLength - 1;
        if (!readPort(portText, portLength, server.port)) {
            noteBadPort(portText, portLength, problem);
            return 0;
        }
    }
    return 1;
}

// Takes the request target after the host: a fragment is dropped, and a
// query alone gets the root path in front. Leaves path empty when nothing
// is left. Returns 1, or 0 with the problem.
int takeTarget(const char* target, BoundedString& path, BoundedString& problem) {
    int length = static_cast<int>(std::strcspn(target, "#"));
    if (length > 0 && target[0] == '?') {
        // The byte before the query (at worst the last "/" of "http://") is
        // taken along and becomes the root path's "/".
        if (!takeRequestPath(target - 1, length + 1, path, problem)) return 0;
        if (path.buffer != nullptr) path.buffer[0] = '/';
        return 1;
    }
    return takeRequestPath(target, length, path, problem);
}

// Returns 1 when the scheme word of the given length is scheme in any case.
int isScheme(const char* text, int length, const char* scheme) {
    return length == static_cast<int>(std::strlen(scheme)) && equalIgnoringCase(text, scheme, length);
}

// Parses what follows "http://" or "https://". Returns 1, or 0 with the problem.
int parseUrl(const char* rest, ServerArgument& server, BoundedString& problem) {
    int authorityLength = static_cast<int>(std::strcspn(rest, "/?#"));
    // The user information ends at the last '@': a password may hold one.
    int userLength = -1;
    for (int index = 0; index < authorityLength; ++index) userLength = rest[index] == '@' ? index : userLength;
    if (userLength >= 0) {
        int fault = takeUrlLogin(rest, userLength, server.login);
        if (fault != loginTaken) {
            describeLoginFault(fault, "the URL", problem);
            return 0;
        }
        rest += userLength + 1;
        authorityLength -= userLength + 1;
    }
    // An empty port is the scheme's default, as browsers take it.
    int hostAndPort = authorityLength > 0 && rest[authorityLength - 1] == ':' ? authorityLength - 1 : authorityLength;
    if (!splitHostAndPort(rest, hostAndPort, server, problem)) return 0;
    return takeTarget(rest + authorityLength, server.path, problem);
}

}  // namespace

const char kNoIpv6Line[] = "IPv6 is not available on this platform\n";

int takeRequestPath(const char* text, int length, BoundedString& path, BoundedString& problem) {
    if (holdsControlByte(text, length)) {
        assignText(problem, "The path holds a control character, which could end the request line\n");
        return 0;
    }
    // Static: the program takes one path at a time, and the stack is no
    // place for a string at the cap.
    static char escaped[kBoundedStringCap];
    int place = 0;
    for (int index = 0; index < length; ++index) {
        int wanted = text[index] == ' ' ? kEscapedSpaceLength : 1;
        if (place + wanted > kBoundedStringCap) {
            assignText(problem, "The path is too long\n");
            return 0;
        }
        std::memcpy(escaped + place, text[index] == ' ' ? "%20" : text + index, static_cast<size_t>(wanted));
        place += wanted;
    }
    assignBytes(path, escaped, place);
    return 1;
}

int isWebUrl(const char* text) {
    int scheme = schemeLength(text);
    return isScheme(text, scheme, "http") || isScheme(text, scheme, "https");
}

int parseServerArgument(const char* text, ServerArgument& server, BoundedString& problem) {
    int scheme = schemeLength(text);
    if (scheme == 0) return splitHostAndPort(text, static_cast<int>(std::strlen(text)), server, problem);
    if (isScheme(text, scheme, "https")) {
        server.secure = 1;
        server.port = kDefaultHttpsPort;
    } else if (!isScheme(text, scheme, "http")) {
        assignFormat(problem, "Unsupported scheme: %.*s\n", scheme, text);
        return 0;
    }
    return parseUrl(text + scheme + 3, server, problem);
}
