// Feeds arbitrary settings from outside to the code that reads them: a
// proxy value, a no_proxy value and a host matched against it, and a
// Location resolved against a base address; checks, under the sanitizers,
// that nothing is written past a buffer and what any outcome must hold.
//
// Input: four parts separated by zero bytes: the proxy value, the no_proxy
// value, then a host, then the Location; a fifth part, when there is one,
// is a server argument whose address (when it parses) is the base, else
// the base is kFallbackBase.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/proxy.h"
#include "app/redirects.h"
#include "app/server_argument.h"
#include "http/redirect.h"
#include "support/log.h"
#include "support/shown_text.h"

namespace {

const size_t kLargestInput = 1 << 17;
const char kFallbackBase[] = "https://h:8443/a/b/c?q=1";
// The most bytes the credentials of a proxy take in base64: 1,024 bytes
// of user name and password and their colon.
const size_t kLongestCredentials = (1025 + 2) / 3 * 4;

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::vector<std::string> splitAtZeros(const std::uint8_t* data, size_t size) {
    std::vector<std::string> parts;
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    parts.push_back(text.substr(start));
    while (parts.size() < 4) parts.push_back("");
    return parts;
}

// Returns true when the text holds a byte a terminal could take for a
// command: below 0x20 but TAB and LF, 0x7F, or 0x80 and above.
bool holdsRawByte(const std::string& text) {
    for (char byte : text) {
        unsigned char value = static_cast<unsigned char>(byte);
        if ((value < 0x20 && value != '\t' && value != '\n') || value >= 0x7f) return true;
    }
    return false;
}

// A line for the terminal: lines that end in one line end each, nothing raw.
void checkLines(const std::string& lines, const char* what) {
    check(lines.empty() || lines.back() == '\n', what);
    check(!holdsRawByte(lines), what);
}

bool isBase64(const std::string& text) {
    if (text.size() % 4 != 0) return false;
    for (char byte : text) {
        if (!std::isalnum(static_cast<unsigned char>(byte)) && byte != '+' && byte != '/' && byte != '=') return false;
    }
    return true;
}

void checkProxy(const std::string& value) {
    ProxySettings proxy;
    BoundedString problem;
    if (!parseProxy(value.c_str(), "http_proxy", proxy, problem)) {
        std::string line = textOf(problem);
        check(!line.empty() && line.find('\n') == line.size() - 1, "a refused proxy gets one line");
        return;
    }
    check(value.size() <= 4096, "a proxy value past its limit is refused");
    check(proxy.host.length > 0 && proxy.host.length <= kLongestHostName, "proxy host");
    check(proxy.port >= 1 && proxy.port <= 65535, "proxy port");
    std::string credentials = textOf(proxy.credentials);
    check(credentials.size() <= kLongestCredentials && isBase64(credentials), "proxy credentials in base64");
}

// The exceptions are read from the environment, as the run reads them.
void checkExceptions(const std::string& value, const std::string& host) {
    setenv("no_proxy", value.c_str(), 1);
    unsetenv("NO_PROXY");
    BoundedString exceptions;
    BoundedString lines;
    int taken = readProxyExceptions(exceptions, lines);
    checkLines(textOf(lines), "the lines about no_proxy");
    if (!taken) {
        check(value.size() > static_cast<size_t>(kBoundedStringCap), "no_proxy refused only past its limit");
        return;
    }
    check(textOf(exceptions) == value, "no_proxy kept whole");
    int bypasses = hostBypassesProxy(textOf(exceptions), host.c_str());
    check(bypasses == 0 || bypasses == 1, "a host is matched or not");
    if (value == "*") check(bypasses == 1, "* takes in every host");
}

// Returns the base the Location is resolved against.
std::string baseOf(const std::vector<std::string>& parts) {
    if (parts.size() < 5) return kFallbackBase;
    ServerArgument server;
    BoundedString problem;
    if (!parseServerArgument(parts[4].c_str(), server, problem)) return kFallbackBase;
    TransferRequest request;
    request.secure = server.secure;
    request.host = server.host;
    request.port = server.port;
    assignText(request.path, server.path.length > 0 ? textOf(server.path) : "/");
    BoundedString base;
    composeAddress(request, base);
    return textOf(base);
}

// A followed Location is an absolute address that a request line can
// carry: no blank, no control byte, no byte of 0x80 and above, no fragment.
void checkLocation(const std::string& base, const std::string& location) {
    BoundedString target;
    int refusal = resolveLocation(base.c_str(), location.c_str(), target);
    if (refusal != redirectFollowed) {
        checkLines(redirectRefusalLine(refusal), "the refusal line");
        return;
    }
    std::string address = textOf(target);
    check(address.size() <= static_cast<size_t>(kBoundedStringCap), "target within the cap");
    check(address.rfind("http://", 0) == 0 || address.rfind("https://", 0) == 0, "target is absolute");
    check(address.find('#') == std::string::npos, "fragment dropped");
    ServerArgument next;
    BoundedString problem;
    if (!parseServerArgument(address.c_str(), next, problem)) {
        // The host is taken as the Location names it: one that is no host is refused here.
        checkLines(textOf(problem), "the line of a target that does not parse");
        return;
    }
    check(next.path.length <= kBoundedStringCap && next.host.length <= kLongestHostName, "target parts within limits");
    for (char byte : address) {
        unsigned char value = static_cast<unsigned char>(byte);
        check(value > 0x20 && value < 0x7f, "a followed target holds only printable bytes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size > kLargestInput) return 0;
    verbosity = 0;
    std::vector<std::string> parts = splitAtZeros(data, size);
    checkProxy(parts[0]);
    checkExceptions(parts[1], parts[2]);
    checkLocation(baseOf(parts), parts[3]);
    for (const std::string& part : parts) {
        BoundedString shown = escapedCopy(part.c_str());
        check(!holdsRawByte(textOf(shown)) && std::strchr(textOf(shown), '\n') == nullptr, "shown text escaped");
    }
    return 0;
}
