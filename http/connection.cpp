#include "http/connection.h"

#include "http/tunnel.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

// Returns 1 when connected to the address, 0 with the connect note
// otherwise.
int connectToAddress(SocketHandle socket, const NetAddress& address, TransferResult& result) {
    int port = address.port;
    logAt(9, "Connecting to server, address=%s, port=%d...\n", formatAddress(address), port);
    if (connectSocket(socket, address) == 0) return 1;
    // The reason first: nothing may touch the socket layer before it is read.
    BoundedString reason = lastSocketErrorText();
    const char* shown = formatAddress(address);
    if (address.family == kAddressFamilyInet6) {
        assignFormat(result.errorText, "connect([%s]:%d): %s", shown, port, textOf(reason));
    } else {
        assignFormat(result.errorText, "connect(%s:%d): %s", shown, port, textOf(reason));
    }
    result.stage = stageConnect;
    return 0;
}

// Connects to the server's addresses in their order until one answers; a
// failed one is traced before the next is tried. Returns the connected
// socket, or kInvalidSocket with the note of the last failure.
SocketHandle connectToServer(const TransferRequest& request, TransferResult& result) {
    if (request.viaProxy) logAt(9, "Using proxy %s:%d\n", textOf(proxyOf(request).host), proxyOf(request).port);
    for (int index = 0; index < request.addresses.count; ++index) {
        const NetAddress& address = request.addresses.entries[index];
        SocketHandle socket = openTcpSocket(address);
        if (socket == kInvalidSocket) {
            failSocketCall(result, stageSocket, "socket");
            continue;
        }
        if (connectToAddress(socket, address, result)) {
            result.stage = stageCompleted;  // an address before it may have failed
            return socket;
        }
        closeSocket(socket);
        if (index + 1 < request.addresses.count) logAt(9, "%s\n", textOf(result.errorText));
    }
    return kInvalidSocket;
}

// Runs the TLS handshake for https. Returns 1 when the connection is
// ready for the request, 0 with the stage and note otherwise: a refusal
// ends the run, a broken handshake is retried as a failed connect.
int startTls(Connection& connection, const TransferRequest& request, TransferResult& result) {
    if (!request.secure) return 1;
    // The certificate names an IPv6 address without the brackets of a URL.
    BoundedString name = request.host;
    if (name.length > 2 && name.buffer[0] == '[') assignBytes(name, name.buffer + 1, name.length - 2);
    TlsPeer peer;
    peer.hostName = textOf(name);
    peer.acceptAnyCertificate = request.acceptAnyCertificate;
    BoundedString problem;
    int outcome = tlsStart(connection.socket, peer, connection.tls, problem);
    if (outcome == tlsStarted) return 1;
    if (outcome == tlsBroken) return failSocketCall(result, stageConnect, "TLS handshake");
    result.errorText = problem;
    result.stage = stageTlsRefused;
    return 0;
}

}  // namespace

int openConnection(Connection& connection, const TransferRequest& request, TransferResult& result) {
    connection.socket = connectToServer(request, result);
    return connection.socket != kInvalidSocket && openTunnel(connection, request, result) &&
           startTls(connection, request, result);
}

int failSocketCall(TransferResult& result, FailureStage stage, const char* call) {
    BoundedString reason = lastSocketErrorText();
    assignFormat(result.errorText, "%s: %s\n", call, textOf(reason));
    result.stage = stage;
    return 0;
}

int sendOnConnection(Connection& connection, const char* bytes, int count) {
    if (connection.tls != nullptr) return tlsSend(connection.tls, bytes, count);
    return sendBytes(connection.socket, bytes, count);
}

int receiveOnConnection(Connection& connection, char* block, int capacity) {
    if (connection.tls != nullptr) return tlsReceive(connection.tls, block, capacity);
    return receiveBytes(connection.socket, block, capacity);
}

void closeConnection(Connection& connection) {
    tlsEnd(connection.tls);
    connection.tls = nullptr;
    closeSocket(connection.socket);
    connection.socket = kInvalidSocket;
}
