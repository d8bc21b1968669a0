#include "http/connection.h"

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
