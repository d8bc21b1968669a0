// Feeds arbitrary settings from outside to the code that reads them, under
// the sanitizers: a proxy value, a no_proxy value with a host matched
// against it, and a Location resolved against a base address. Input: those
// four parts and the base (a server argument; a fixed one when it does not
// parse), separated by zero bytes.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/proxy.h"
#include "app/redirects.h"
#include "http/redirect.h"
#include "support/log.h"
#include "support/shown_text.h"

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Lines for the terminal: each ends in its line end, and no byte below
// 0x20 but TAB and LF, 0x7F or from 0x80 on is shown raw.
void checkLines(const std::string& lines, const char* what) {
    check(lines.empty() || lines.back() == '\n', what);
    for (char byte : lines) {
        unsigned char value = static_cast<unsigned char>(byte);
        check((value >= 0x20 || value == '\t' || value == '\n') && value < 0x7f, what);
    }
}

// Credentials: base64 of 1,024 bytes of user name and password and their colon at most.
void checkProxy(const std::string& value) {
    ProxySettings proxy;
    BoundedString problem;
    if (!parseProxy(value.c_str(), "http_proxy", proxy, problem)) return checkLines(textOf(problem), "proxy line");
    check(value.size() <= 4096 && proxy.host.length <= kLongestHostName && proxy.port >= 1 && proxy.port <= 65535 &&
              proxy.credentials.length <= 1368 && proxy.credentials.length % 4 == 0,
          "proxy within its limits");
}

void checkExceptions(const std::string& value, const std::string& host) {
    setenv("no_proxy", value.c_str(), 1);
    BoundedString exceptions;
    BoundedString lines;
    int taken = readProxyExceptions(exceptions, lines);
    checkLines(textOf(lines), "no_proxy lines");
    check(taken ? textOf(exceptions) == value : value.size() > static_cast<size_t>(kBoundedStringCap), "no_proxy whole");
    int bypasses = hostBypassesProxy(textOf(exceptions), host.c_str());
    check(bypasses == (value == "*" ? 1 : bypasses) && (bypasses == 0 || bypasses == 1), "host matched or not");
}

// A Location that is followed leads to an address a request line can
// carry: absolute, within the limits, every byte of its host and path
// printable, no fragment.
void checkLocation(const std::string& argument, const std::string& location) {
    ServerArgument server;
    BoundedString problem;
    TransferRequest request;
    assignText(request.host, "h");
    assignText(request.path, "/a/b?q");
    if (parseServerArgument(argument.c_str(), server, problem) && server.path.length > 0) {
        request.secure = server.secure;
        request.host = server.host;
        request.port = server.port;
        request.path = server.path;
    }
    BoundedString base;
    composeAddress(request, base);
    BoundedString target;
    int refusal = resolveLocation(textOf(base), location.c_str(), target);
    if (refusal != redirectFollowed) return checkLines(redirectRefusalLine(refusal), "refusal line");
    ServerArgument next;
    // The host comes as the Location names it; one that is no host is refused.
    if (!parseServerArgument(textOf(target), next, problem)) return checkLines(textOf(problem), "target line");
    std::string address = textOf(target);
    check(address.rfind("http", 0) == 0 && address.find('#') == std::string::npos &&
              next.host.length <= kLongestHostName && next.path.length <= kBoundedStringCap,
          "target absolute, within limits");
    // A login there is never sent: what a request carries is the host and path.
    for (char byte : std::string(textOf(next.host)) + textOf(next.path)) {
        check(byte > 0x20 && byte < 0x7f, "target printable");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size > (1 << 17)) return 0;
    verbosity = 0;
    std::vector<std::string> parts(5);
    size_t part = 0;
    for (size_t index = 0; index < size; ++index) {
        if (data[index] == 0 && part + 1 < parts.size()) ++part;
        else parts[part] += static_cast<char>(data[index]);
    }
    checkProxy(parts[0]);
    checkExceptions(parts[1], parts[2]);
    checkLocation(parts[4], parts[3]);
    for (const std::string& text : parts) checkLines(textOf(escapedCopy(text.c_str())) + std::string("\n"), "shown");
    return 0;
}
