#include "http/tunnel.h"

#include <cstdio>

#include "http/reply_headers.h"
#include "support/format_text.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

// Room for the CONNECT request: the host twice and the credentials.
const int kConnectCapacity = 2 * kBoundedStringCap + 2048;
const int kBlockCapacity = 4096;

// Notes a tunnel that did not open as a failed connect. Returns 0.
int failTunnel(TransferResult& result, const char* reason) {
    assignFormat(result.errorText, "CONNECT: %s", reason);
    result.stage = stageConnect;
    return 0;
}

// Reads the proxy's answer to CONNECT up to its empty line into section
// and answer. Returns 1, or 0 with the note of a failed read.
int readAnswer(Connection& connection, HeaderSection& section, TransferResult& answer, TransferResult& result) {
    char block[kBlockCapacity];
    int received = 1;
    // The idle limit alone would let a trickle hold the attempt for ever.
    beginDeadline();
    while (section.inHeaders && answer.stage == stageCompleted && received > 0) {
        received = receiveOnConnection(connection, block, kBlockCapacity);
        char* cursor = block;
        int unread = received;
        if (received > 0) consumeHeaderBytes(section, answer, cursor, unread);
        if (section.inHeaders && answer.stage == stageCompleted && deadlinePassed()) received = -1;
    }
    endDeadline();
    if (received < 0) {
        BoundedString reason = lastSocketErrorText();
        return failTunnel(result, textOf(reason));
    }
    if (received == 0) return failTunnel(result, socketErrorText(kSocketErrorDisconnected));
    if (answer.stage != stageCompleted) return failTunnel(result, textOf(answer.errorText));
    return 1;
}

}  // namespace

int composeProxyAuthorization(const TransferRequest& request, char* line, int room) {
    const ProxySettings& proxy = proxyOf(request);
    if (proxy.credentials.length == 0) return 0;
    int length =
        formatText(line, static_cast<size_t>(room), "Proxy-Authorization: Basic %s\r\n", textOf(proxy.credentials));
    logAt(9, "                 Proxy-Authorization: Basic ...\n");
    return length;
}

int openTunnel(Connection& connection, const TransferRequest& request, TransferResult& result) {
    if (!request.viaProxy || !request.secure) return 1;
    static char text[kConnectCapacity];
    int length = formatText(text, sizeof text, "CONNECT %s:%d HTTP/1.0\r\n", textOf(request.host), request.port);
    logAt(9, "Sending request: %s", text);
    length += formatText(text + length, sizeof text - static_cast<size_t>(length), "Host: %s:%d\r\n",
                         textOf(request.host), request.port);
    length += composeProxyAuthorization(request, text + length, kConnectCapacity - length);
    length += formatText(text + length, sizeof text - static_cast<size_t>(length), "\r\n");
    if (sendOnConnection(connection, text, length) < 0) {
        BoundedString reason = lastSocketErrorText();
        return failTunnel(result, textOf(reason));
    }
    HeaderSection section;
    TransferResult answer;
    if (!readAnswer(connection, section, answer, result)) return 0;
    if (answer.replyStatus >= 200 && answer.replyStatus <= 299) return 1;
    // A proxy that wants credentials says so with 407, or (some do) 401:
    // asking again will not change either.
    int wantsCredentials = answer.replyStatus == 401 || answer.replyStatus == 407;
    // Any other refusal is a failed connect, noted as the failed calls are.
    noteStatusLine(section, wantsCredentials ? "" : "CONNECT: ", wantsCredentials ? "\n" : "", result.errorText);
    result.stage = wantsCredentials ? stageServerRefused : stageConnect;
    return 0;
}
