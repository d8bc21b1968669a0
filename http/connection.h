// The connection of one attempt: a socket, with TLS over it for https.
// Everything above it reads and writes the same way on both.
#pragma once

#include "http/transfer.h"
#include "platform/platform.h"
#include "platform/tls.h"

struct Connection {
    SocketHandle socket = kInvalidSocket;
    TlsSession* tls = nullptr;  // null: plain HTTP
    int addressIndex = 0;       // the request's address it is connected to
};

// What receiveNowOnConnection returns when nothing whole has arrived yet.
const int kReceiveWouldWait = kTlsWouldWait;

// Opens the attempt's connection: the server's addresses (or the
// proxy's) tried in their order, the tunnel through a proxy for https,
// then TLS. Returns 1, or 0 with the stage and note; the socket, when one
// was connected, is left for closeConnection.
int openConnection(Connection& connection, const TransferRequest& request, TransferResult& result);

// How far a connection opened without waiting has come.
enum OpeningStep { openingConnect, openingTls, openingOpen };

struct Opening {
    int step = openingConnect;
    int firstAddress = 0;  // the request's address tried first
    int tried = 0;         // addresses begun before the one being connected to
    int addressIndex = 0;  // the address being connected to
    int wantWrite = 1;     // the next step waits for the socket to be writable, else readable
    BoundedString tlsName; // the name TLS checks; the peer points into it
    TlsPeer peer;
};

// Begins opening the request's connection without waiting: the connect to
// its address firstAddress, the others after it in their order (from the
// first on) when that fails. Through a proxy the whole opening, with its
// tunnel and handshake, is done at once, waiting. Returns 1 while it goes
// on or once it is done (opening.step openingOpen), 0 with the stage and note.
int beginOpening(Connection& connection, Opening& opening, const TransferRequest& request, TransferResult& result,
                 int firstAddress);

// Takes the opening on once its socket is ready as opening.wantWrite
// asks: the connect's end (or the next address after a failed one), the
// handshake's steps. Returns as beginOpening.
int continueOpening(Connection& connection, Opening& opening, const TransferRequest& request,
                    TransferResult& result);

// Gives up the address being connected to, its connect failed or silent
// (the last socket error says which), and begins the next one in turn.
// Returns as beginOpening, the note of the last address when none is left.
int openNextAddress(Connection& connection, Opening& opening, const TransferRequest& request,
                    TransferResult& result);

// Notes that the opening failed where it stands, with the last socket
// error as the reason (a connect note, or the handshake's), and closes
// the connection.
void failOpening(Connection& connection, Opening& opening, const TransferRequest& request, TransferResult& result);

// Notes a failed socket call as "<call>: <reason>\n". Returns 0.
int failSocketCall(TransferResult& result, FailureStage stage, const char* call);

// Notes a failed send or receive on the connection as "<call>: <reason>\n",
// or as the refusal TLS saw in it, which ends the run. Returns 0.
int failConnectionCall(Connection& connection, TransferResult& result, FailureStage stage, const char* call);

// Sends all count bytes. Returns the count sent, or -1 on failure.
int sendOnConnection(Connection& connection, const char* bytes, int count);

// Waits for bytes. Returns the count received (at most capacity), 0 when
// the server ended the connection in order, -1 on failure.
int receiveOnConnection(Connection& connection, char* block, int capacity);

// As receiveOnConnection once the socket turned readable, but never waits:
// returns kReceiveWouldWait when TLS holds only part of a record (a plain
// socket that is readable always has something to give).
int receiveNowOnConnection(Connection& connection, char* block, int capacity);

// Ends TLS, if any, and closes the socket.
void closeConnection(Connection& connection);
