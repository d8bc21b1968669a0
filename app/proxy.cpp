#include "app/proxy.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "app/address_block.h"
#include "app/server_argument.h"
#include "http/authorization.h"
#include "support/ascii_text.h"
#include "support/shown_text.h"

namespace {

// The most bytes of a proxy value, whole.
const int kProxyValueCapacity = 4096;
// The most of a no_proxy entry that a line repeats.
const int kShownEntryLength = 40;

// Returns the value of the variable, or null when it is unset or empty.
// Windows reads environment names without regard to case: there
// http_proxy also finds HTTP_PROXY.
const char* environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Takes "host[:port]" of count bytes, the port 1080 when none is named
// or it is empty.
// Returns 1, or 0 when it is no host and port.
int takeHostAndPort(const char* text, int count, ProxySettings& proxy) {
    if (count > kProxyValueCapacity) return 0;
    // An empty port is the default one, as in a URL.
    if (count > 0 && text[count - 1] == ':') --count;
    BoundedString kept;
    assignBytes(kept, text, count);
    const char* copy = textOf(kept);
    ServerArgument server;
    BoundedString ignored;
    if (!parseServerArgument(copy, server, ignored)) return 0;
    const char* lastColon = std::strrchr(copy, ':');
    const char* bracket = std::strrchr(copy, ']');
    int portNamed = lastColon != nullptr && (bracket == nullptr || lastColon > bracket);
    proxy.host = server.host;
    proxy.port = portNamed ? server.port : kDefaultProxyPort;
    return 1;
}

// Returns 1 when the text, brackets left out, is a dotted or IPv6 address.
int isAddress(const char* text, int count) {
    int onlyDigitsAndDots = 1;
    for (int index = 0; index < count; ++index) {
        if (text[index] == ':') return 1;
        if (!std::isdigit(static_cast<unsigned char>(text[index])) && text[index] != '.') onlyDigitsAndDots = 0;
    }
    return onlyDigitsAndDots;
}

// Trims blanks, a leading ".", brackets and a ":port" off one entry.
void trimEntry(const char*& entry, int& count) {
    while (count > 0 && (*entry == ' ' || *entry == '\t')) ++entry, --count;
    while (count > 0 && (entry[count - 1] == ' ' || entry[count - 1] == '\t')) --count;
    if (count > 0 && *entry == '.') ++entry, --count;
    if (count > 0 && *entry == '[') {
        const void* close = std::memchr(entry, ']', static_cast<size_t>(count));
        count = close == nullptr ? count - 1 : static_cast<int>(static_cast<const char*>(close) - entry) - 1;
        ++entry;
        return;
    }
    const char* colon = static_cast<const char*>(std::memchr(entry, ':', static_cast<size_t>(count)));
    // More than one colon: an IPv6 address without brackets, which keeps them.
    if (colon != nullptr && std::memchr(colon + 1, ':', static_cast<size_t>(count - (colon + 1 - entry))) == nullptr) {
        count = static_cast<int>(colon - entry);
    }
}

// Returns 1 when the entry of count bytes takes in the host: the same
// name or address, for a name a subdomain of the entry, for an address
// block an address inside it.
int entryMatches(const char* entry, int count, const char* host, int hostLength) {
    AddressBlock block;
    int reading = readAddressBlock(entry, count, block);
    if (reading != notAddressBlock) return reading == addressBlockRead && addressInBlock(block, host, hostLength);
    trimEntry(entry, count);
    if (count == 1 && entry[0] == '*') return 1;
    if (count == 0 || count > hostLength) return 0;
    if (count == hostLength) return equalIgnoringCase(entry, host, count);
    if (isAddress(host, hostLength)) return 0;
    const char* tail = host + hostLength - count;
    return tail[-1] == '.' && equalIgnoringCase(entry, tail, count);
}

// Sets line to the line that says which entries look like an address
// block but are none, and are ignored: the first, shown cut, and how many
// more; "" when there are none.
void noteMalformedBlocks(const char* exceptions, const char* variable, BoundedString& line) {
    const char* first = nullptr;
    int firstCount = 0;
    int malformed = 0;
    for (const char* entry = exceptions; *entry != '\0';) {
        int count = static_cast<int>(std::strcspn(entry, ","));
        AddressBlock block;
        if (readAddressBlock(entry, count, block) == addressBlockMalformed && malformed++ == 0) {
            first = entry;
            firstCount = count;
        }
        entry += count;
        if (*entry == ',') ++entry;
    }
    if (malformed == 0) return;
    assignFormat(line, "Ignored in %s: \"", variable);
    appendEscapedCut(line, first, firstCount, kShownEntryLength);
    BoundedString tail;
    assignText(tail, "\" is not an address block\n");
    if (malformed > 1) assignFormat(tail, "\" is not an address block (and %d more)\n", malformed - 1);
    appendBytes(line, tail.buffer, tail.length);
}

}  // namespace

int hostBypassesProxy(const char* exceptions, const char* host) {
    int hostLength = static_cast<int>(std::strlen(host));
    if (hostLength >= 2 && host[0] == '[' && host[hostLength - 1] == ']') {
        ++host;
        hostLength -= 2;
    }
    while (*exceptions != '\0') {
        int count = static_cast<int>(std::strcspn(exceptions, ","));
        if (entryMatches(exceptions, count, host, hostLength)) return 1;
        exceptions += count;
        if (*exceptions == ',') ++exceptions;
    }
    return 0;
}

int readProxyExceptions(BoundedString& exceptions, BoundedString& lines) {
    const char* variable = "no_proxy";
    const char* value = environmentValue(variable);
    if (value == nullptr) {
        variable = "NO_PROXY";
        value = environmentValue(variable);
    }
    assignText(lines, "");
    if (value != nullptr && std::strlen(value) > static_cast<size_t>(kBoundedStringCap)) {
        assignFormat(lines, "Bad proxy exceptions in %s: the value is too long\n", variable);
        return 0;
    }
    assignText(exceptions, value);
    noteMalformedBlocks(textOf(exceptions), variable, lines);
    return 1;
}

int parseProxy(const char* value, const char* variable, ProxySettings& proxy, BoundedString& problem) {
    if (std::strlen(value) > static_cast<size_t>(kProxyValueCapacity)) {
        assignFormat(problem, "Bad proxy in %s: the value is too long\n", variable);
        return 0;
    }
    const char* rest = value;
    const char* separator = std::strstr(value, "://");
    if (separator != nullptr) {
        if (!(separator - value == 4 && equalIgnoringCase(value, "http", 4))) {
            assignFormat(problem, "The proxy in %s is not an http:// proxy\n", variable);
            return 0;
        }
        rest = separator + 3;
    }
    int authority = static_cast<int>(std::strcspn(rest, "/"));
    int valid = rest[authority] == '\0' || (rest[authority] == '/' && rest[authority + 1] == '\0');
    // The last "@": a password may hold one unescaped.
    const char* at = nullptr;
    for (int index = 0; index < authority; ++index) at = rest[index] == '@' ? rest + index : at;
    assignText(proxy.credentials, "");
    if (valid && at != nullptr) {
        int fault = takeUrlLogin(rest, static_cast<int>(at - rest), proxy.credentials);
        if (fault == loginTooLong) {
            assignFormat(problem, "Bad proxy in %s: the credentials are too long\n", variable);
            return 0;
        }
        valid = fault == loginTaken;
        authority -= static_cast<int>(at + 1 - rest);
        rest = at + 1;
    }
    if (!valid || !takeHostAndPort(rest, authority, proxy)) {
        assignFormat(problem, "Bad proxy in %s (a proxy is http://[user:password@]host[:port])\n", variable);
        return 0;
    }
    proxy.inUse = 1;
    return 1;
}

int readProxyFromEnvironment(int secure, ProxySettings& proxy, BoundedString& problem) {
    const char* variable = secure ? "https_proxy" : "http_proxy";
    const char* value = environmentValue(variable);
    if (value == nullptr && secure) {
        variable = "HTTPS_PROXY";
        value = environmentValue(variable);
    }
    proxy.inUse = 0;
    if (value == nullptr) return 1;
    return parseProxy(value, variable, proxy, problem);
}
