#include "app/redirects.h"

#include <cstring>
#include <strings.h>

#include "app/proxy.h"
#include "http/authorization.h"
#include "http/redirect.h"
#include "support/ascii_text.h"
#include "support/log.h"
#include "support/shown_text.h"
#include "support/socket_errors.h"

namespace {

// Ends the attempt on a redirect that is not followed. Returns 0.
int refuseRedirect(TransferResult& result, int refusal) {
    assignText(result.errorText, redirectRefusalLine(refusal));
    result.stage = stageRedirectRefused;
    return 0;
}

// Notes a failed lookup of a redirect's host as a failed connect; the
// next attempt starts from the user's address. Returns 0.
int failLookup(TransferResult& result) {
    const char* reason = lookupFailureText(lastSocketError());
    assignFormat(result.errorText, "GetHostByName: %s", reason == nullptr ? "" : reason);
    result.stage = stageConnect;
    result.backToOrigin = 1;
    return 0;
}

// Finds where a request for the host and port of the scheme goes:
// through the proxy of the scheme (looked up once) unless the exceptions
// name the host, or to the host's own addresses. Returns 1 with addresses
// and viaProxy set, or 0 with the lookup code as last socket error and
// both untouched.
int findRoute(TransferRequest& request, int secure, const BoundedString& host, int port, AddressList& addresses,
              int& viaProxy) {
    ProxySettings& proxy = secure ? request.httpsProxy : request.httpProxy;
    int proxied = proxy.inUse && !hostBypassesProxy(textOf(request.proxyExceptions), textOf(host));
    AddressList found;
    if (proxied) {
        if (!proxy.lookedUp && !lookUpHost(proxy.host, proxy.port, proxy.addresses)) return 0;
        proxy.lookedUp = 1;
        found = proxy.addresses;
    } else if (!lookUpHost(host, port, found)) {
        return 0;
    }
    addresses = found;
    viaProxy = proxied;
    return 1;
}

// Returns 1 when next is the server the request talks to now.
int sameServer(const TransferRequest& request, const ServerArgument& next) {
    return next.secure == request.secure && next.port == request.port &&
           strcasecmp(textOf(next.host), textOf(request.host)) == 0;
}

// Says that the login stays behind at a redirect to another server.
void sayLoginDropped(const TransferRequest& request) {
    BoundedString line;
    assignText(line, "Credentials not sent to ");
    appendEscaped(line, request.host.buffer, request.host.length);
    const char kReason[] = ": another host, port or scheme\n";
    appendBytes(line, kReason, static_cast<int>(sizeof kReason - 1));
    logAt(request.chainShown ? 5 : 1, "%s", textOf(line));
}

// Points the request at the address the reply's Location names. Returns
// 1, or 0 with the stage and note of a refusal or a failed lookup.
int moveToLocation(TransferRequest& request, TransferResult& result) {
    if (result.locationTooLong) return refuseRedirect(result, redirectTooLong);
    BoundedString base;
    composeAddress(request, base);
    BoundedString target;
    int refusal = resolveLocation(textOf(base), textOf(result.location), target);
    ServerArgument next;
    BoundedString problem;
    if (refusal == redirectFollowed && !parseServerArgument(textOf(target), next, problem)) refusal = redirectUnparsable;
    if (refusal != redirectFollowed) return refuseRedirect(result, refusal);
    BoundedString hidden;
    hidePassword(textOf(target), hidden);
    BoundedString shown = escapedCopy(textOf(hidden));
    logAt(request.chainShown ? 5 : 3, "Redirected to %s\n", textOf(shown));
    // The request moves only once the new host has addresses: its Host
    // line must never go to another host's address.
    if (!sameServer(request, next) &&
        !findRoute(request, next.secure, next.host, next.port, request.addresses, request.viaProxy)) {
        return failLookup(result);
    }
    request.secure = next.secure;
    request.host = next.host;
    request.port = next.port;
    request.path = next.path;
    request.redirected = 1;
    if (request.login.length > 0 && !sendsLogin(request)) sayLoginDropped(request);
    return 1;
}

// Ends an attempt at an address redirects led to that answered with
// another redirect: the next attempt starts at the user's address. Returns 0.
int sendBackToOrigin(TransferRequest& request, TransferResult& result) {
    assignFormat(result.errorText, "%s redirects again: the next attempt starts from the first address",
                 textOf(request.host));
    result.stage = stageReceive;
    result.backToOrigin = 1;
    return 0;
}

}  // namespace

void composeAddress(const TransferRequest& request, BoundedString& address) {
    const char* scheme = request.secure ? "https" : "http";
    int defaultPort = request.secure ? kDefaultHttpsPort : kDefaultHttpPort;
    BoundedString port;
    if (request.port != defaultPort) assignFormat(port, ":%d", request.port);
    assignFormat(address, "%s://%s%s", scheme, textOf(request.host), textOf(port));
    appendBytes(address, request.path.buffer, request.path.length);
}

int lookUpHost(const BoundedString& host, int port, AddressList& addresses) {
    if (parseNumericAddress(textOf(host), port, addresses)) return 1;
    logAt(9, "Looking up address of host \"%s\"...\n", textOf(host));
    return resolveHostName(textOf(host), port, addresses) == 0;
}

int routeRequest(TransferRequest& request) {
    return findRoute(request, request.secure, request.host, request.port, request.addresses, request.viaProxy);
}

void setOrigin(TransferRequest& request) {
    const TargetAddress& origin = request.origin;
    request.secure = origin.secure;
    request.host = origin.host;
    request.port = origin.port;
    request.path = origin.path;
    request.addresses = origin.addresses;
    request.viaProxy = origin.viaProxy;
    request.redirected = 0;
    request.fromOrigin = 0;
}

int fetchFollowing(TransferRequest& request, TransferResult& result) {
    if (request.redirected && (request.fromOrigin || request.keepsFile)) setOrigin(request);
    request.fromOrigin = 0;  // a restart asked for this attempt only
    // A retry at an address redirects led to takes no detour: a 4xx or a
    // redirect there sends the next attempt to the user's address.
    int retryAfterRedirects = request.redirected;
    request.refuseClientErrors = retryAfterRedirects;
    int completed = 0;
    for (int followed = 0;; ++followed) {
        completed = fetchOnce(request, result);
        request.refuseClientErrors = 0;
        if (!completed || !result.redirect) break;
        if (retryAfterRedirects) {
            completed = sendBackToOrigin(request, result);
        } else if (followed == kMostRedirects) {
            completed = refuseRedirect(result, redirectTooMany);
        } else {
            completed = moveToLocation(request, result);
        }
        if (!completed) break;
    }
    if (result.backToOrigin) request.fromOrigin = 1;
    request.chainShown = 1;
    return completed && result.stage == stageCompleted;
}
