#include "app/proxy.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "app/server_argument.h"
#include "http/authorization.h"
#include "support/ascii_text.h"

namespace {

// Room for the host and port of a proxy value.
const int kUserPartCapacity = 1024;

// Returns the value of the variable, or null when it is unset or empty.
// Windows reads environment names without regard to case: there
// http_proxy also finds HTTP_PROXY.
const char* environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Takes "host[:port]" of count bytes, the port 1080 when none is named.
// Returns 1, or 0 when it is no host and port.
int takeHostAndPort(const char* text, int count, ProxySettings& proxy) {
    char copy[kUserPartCapacity + 1];
    if (count > kUserPartCapacity) return 0;
    std::memcpy(copy, text, static_cast<size_t>(count));
    copy[count] = '\0';
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
// name or address, or for a name, a subdomain of the entry.
int entryMatches(const char* entry, int count, const char* host, int hostLength) {
    trimEntry(entry, count);
    if (count == 1 && entry[0] == '*') return 1;
    if (count == 0 || count > hostLength) return 0;
    if (count == hostLength) return equalIgnoringCase(entry, host, count);
    if (isAddress(host, hostLength)) return 0;
    const char* tail = host + hostLength - count;
    return tail[-1] == '.' && equalIgnoringCase(entry, tail, count);
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

const char* proxyExceptions() {
    const char* value = environmentValue("no_proxy");
    if (value == nullptr) value = environmentValue("NO_PROXY");
    return value != nullptr ? value : "";
}

int parseProxy(const char* value, const char* variable, ProxySettings& proxy, BoundedString& problem) {
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
        valid = takeUrlLogin(rest, static_cast<int>(at - rest), proxy.credentials) == loginTaken;
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
