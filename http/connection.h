// The connection of one attempt: a socket, with TLS over it for https.
// Everything above it reads and writes the same way on both.
#pragma once

#include "platform/platform.h"
#include "platform/tls.h"

struct Connection {
    SocketHandle socket = kInvalidSocket;
    TlsSession* tls = nullptr;  // null: plain HTTP
};

// Sends all count bytes. Returns the count sent, or -1 on failure.
int sendOnConnection(Connection& connection, const char* bytes, int count);

// Waits for bytes. Returns the count received (at most capacity), 0 when
// the server ended the connection in order, -1 on failure.
int receiveOnConnection(Connection& connection, char* block, int capacity);

// Ends TLS, if any, and closes the socket.
void closeConnection(Connection& connection);
