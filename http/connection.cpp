#include "http/connection.h"

#include "http/tunnel.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

// Notes the last socket error as the connect note of the address. Returns 0.
int failConnect(const NetAddress& address, TransferResult& result) {
    // The reason first: nothing may touch the socket layer before it is read.
    BoundedString reason = lastSocketErrorText();
    const char* shown = formatAddress(address);
    if (address.family == kAddressFamilyInet6) {
        assignFormat(result.errorText, "connect([%s]:%d): %s", shown, address.port, textOf(reason));
    } else {
        assignFormat(result.errorText, "connect(%s:%d): %s", shown, address.port, textOf(reason));
    }
    result.stage = stageConnect;
    return 0;
}

void traceConnect(const NetAddress& address) {
    if (verbosity < 9) return;  // the address is formatted for the trace only
    logAt(9, "Connecting to server, address=%s, port=%d...\n", formatAddress(address), address.port);
}

// Returns 1 when connected to the address, 0 with the connect note
// otherwise.
int connectToAddress(SocketHandle socket, const NetAddress& address, TransferResult& result) {
    traceConnect(address);
    if (connectSocket(socket, address) == 0) return 1;
    return failConnect(address, result);
}

// Returns the index of the address tried after tried others, from first on
// and round to the list's start.
int addressInTurn(const TransferRequest& request, int first, int tried) {
    int count = request.addresses.count;
    return count == 0 ? 0 : (first + tried) % count;
}

// Connects to the server's addresses in their order, from the first one
// given on, until one answers; a failed one is traced before the next is
// tried. Returns 1 with the connected socket and its address index in the
// connection, or 0 with the note of the last failure.
int connectToServer(Connection& connection, const TransferRequest& request, TransferResult& result, int first) {
    if (request.viaProxy) logAt(9, "Using proxy %s:%d\n", textOf(proxyOf(request).host), proxyOf(request).port);
    for (int tried = 0; tried < request.addresses.count; ++tried) {
        int index = addressInTurn(request, first, tried);
        const NetAddress& address = request.addresses.entries[index];
        SocketHandle socket = openTcpSocket(address);
        if (socket == kInvalidSocket) {
            failSocketCall(result, stageSocket, "socket");
            continue;
        }
        if (connectToAddress(socket, address, result)) {
            result.stage = stageCompleted;  // an address before it may have failed
            connection.socket = socket;
            connection.addressIndex = index;
            return 1;
        }
        closeSocket(socket);
        if (tried + 1 < request.addresses.count) logAt(9, "%s\n", textOf(result.errorText));
    }
    return 0;
}

// Fills the peer TLS checks the request's server against; name keeps
// the text the peer points to.
void describePeer(const TransferRequest& request, BoundedString& name, TlsPeer& peer) {
    // The certificate names an IPv6 address without the brackets of a URL,
    // and a name without the final dot of a fully qualified one.
    name = request.host;
    if (name.length > 2 && name.buffer[0] == '[') assignBytes(name, name.buffer + 1, name.length - 2);
    if (name.length > 1 && name.buffer[name.length - 1] == '.') assignBytes(name, name.buffer, name.length - 1);
    peer.hostName = textOf(name);
    peer.acceptAnyCertificate = request.acceptAnyCertificate;
}

// Turns a TLS outcome into the attempt's. Returns 1 for tlsStarted and
// tlsInProgress, 0 with the stage and note otherwise: a refusal ends the
// run, a broken handshake is retried as a failed connect.
int judgeTlsOutcome(int outcome, const BoundedString& problem, TransferResult& result) {
    if (outcome == tlsStarted || outcome == tlsInProgress) return 1;
    if (outcome == tlsBroken) return failSocketCall(result, stageConnect, "TLS handshake");
    result.errorText = problem;
    result.stage = stageTlsRefused;
    return 0;
}

// Runs the TLS handshake for https. Returns 1 when the connection is
// ready for the request, 0 with the stage and note otherwise.
int startTls(Connection& connection, const TransferRequest& request, TransferResult& result) {
    if (!request.secure) return 1;
    BoundedString name;
    TlsPeer peer;
    describePeer(request, name, peer);
    BoundedString problem;
    return judgeTlsOutcome(tlsStart(connection.socket, peer, connection.tls, problem), problem, result);
}

// Takes the handshake of an opening on. Returns as continueOpening.
int stepTls(Connection& connection, Opening& opening, TransferResult& result) {
    BoundedString problem;
    int outcome = tlsStep(connection.tls, opening.peer, opening.wantWrite, problem);
    if (outcome == tlsStarted) opening.step = openingOpen;
    return judgeTlsOutcome(outcome, problem, result);
}

// Goes on from a connected socket: the handshake for https. Returns as
// continueOpening.
int afterConnect(Connection& connection, Opening& opening, const TransferRequest& request, TransferResult& result) {
    connection.addressIndex = opening.addressIndex;
    result.stage = stageCompleted;  // an address before it may have failed
    if (!request.secure) {
        opening.step = openingOpen;
        return 1;
    }
    describePeer(request, opening.tlsName, opening.peer);
    BoundedString problem;
    if (!judgeTlsOutcome(tlsBegin(connection.socket, opening.peer, connection.tls, problem), problem, result)) return 0;
    opening.step = openingTls;
    return stepTls(connection, opening, result);
}

// Begins connecting to the addresses still to try, in their turn, until a
// connect is under way or done. Returns as continueOpening.
int connectNextAddress(Connection& connection, Opening& opening, const TransferRequest& request,
                       TransferResult& result) {
    for (; opening.tried < request.addresses.count; ++opening.tried) {
        opening.addressIndex = addressInTurn(request, opening.firstAddress, opening.tried);
        const NetAddress& address = request.addresses.entries[opening.addressIndex];
        connection.socket = openTcpSocket(address);
        if (connection.socket == kInvalidSocket) {
            failSocketCall(result, stageSocket, "socket");
            continue;
        }
        traceConnect(address);
        int begun = beginConnect(connection.socket, address);
        opening.step = openingConnect;
        opening.wantWrite = 1;
        if (begun == 0) return afterConnect(connection, opening, request, result);
        if (begun > 0) return 1;
        failConnect(address, result);
        closeSocket(connection.socket);
        connection.socket = kInvalidSocket;
        if (opening.tried + 1 < request.addresses.count) logAt(9, "%s\n", textOf(result.errorText));
    }
    return 0;
}

// Opens the connection, waiting, from the address first on.
int openFromAddress(Connection& connection, const TransferRequest& request, TransferResult& result, int first) {
    return connectToServer(connection, request, result, first) && openTunnel(connection, request, result) &&
           startTls(connection, request, result);
}

}  // namespace

int openConnection(Connection& connection, const TransferRequest& request, TransferResult& result) {
    return openFromAddress(connection, request, result, 0);
}

int beginOpening(Connection& connection, Opening& opening, const TransferRequest& request, TransferResult& result,
                 int firstAddress) {
    opening = Opening();
    opening.firstAddress = firstAddress;
    if (request.viaProxy) {
        // The tunnel is a short exchange with a near peer: waited for.
        opening.step = openingOpen;
        return openFromAddress(connection, request, result, firstAddress);
    }
    return connectNextAddress(connection, opening, request, result);
}

int continueOpening(Connection& connection, Opening& opening, const TransferRequest& request,
                    TransferResult& result) {
    if (opening.step == openingTls) return stepTls(connection, opening, result);
    if (endConnect(connection.socket) == 0) return afterConnect(connection, opening, request, result);
    return openNextAddress(connection, opening, request, result);
}

int openNextAddress(Connection& connection, Opening& opening, const TransferRequest& request,
                    TransferResult& result) {
    failOpening(connection, opening, request, result);
    ++opening.tried;
    return connectNextAddress(connection, opening, request, result);
}

void failOpening(Connection& connection, Opening& opening, const TransferRequest& request, TransferResult& result) {
    if (opening.step == openingTls) {
        failSocketCall(result, stageConnect, "TLS handshake");
    } else {
        failConnect(request.addresses.entries[opening.addressIndex], result);
    }
    closeConnection(connection);
    if (opening.step == openingConnect && opening.tried + 1 < request.addresses.count) {
        logAt(9, "%s\n", textOf(result.errorText));
    }
}

int failConnectionCall(Connection& connection, TransferResult& result, FailureStage stage, const char* call) {
    // The reason first: the look TLS takes may touch the socket layer.
    BoundedString reason = lastSocketErrorText();
    if (connection.tls != nullptr && tlsRefusal(connection.tls, result.errorText)) {
        result.stage = stageTlsRefused;
        return 0;
    }
    assignFormat(result.errorText, "%s: %s\n", call, textOf(reason));
    result.stage = stage;
    return 0;
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

int receiveNowOnConnection(Connection& connection, char* block, int capacity) {
    if (connection.tls != nullptr) return tlsReceiveNow(connection.tls, block, capacity);
    return receiveBytes(connection.socket, block, capacity);
}

void closeConnection(Connection& connection) {
    tlsEnd(connection.tls);
    connection.tls = nullptr;
    closeSocket(connection.socket);
    connection.socket = kInvalidSocket;
}
