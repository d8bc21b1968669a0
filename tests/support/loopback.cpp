#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopbackAddress(unsigned short port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

int listenOnLoopback(unsigned short port, int backlog) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return -1;
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopbackAddress(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, backlog) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

unsigned short boundPort(int socket) {
    sockaddr_in address;
    socklen_t size = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    return ntohs(address.sin_port);
}

int listenWithoutAnswer(unsigned short port, std::vector<int>& fillers) {
    int listener = listenOnLoopback(port, 0);
    if (listener < 0) return -1;
    // The queue holds one connection more than the backlog; the first
    // connect that stays unanswered shows that it is full.
    for (int tries = 0; tries < 8; ++tries) {
        int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (filler < 0) break;
        fillers.push_back(filler);
        sockaddr_in address = loopbackAddress(port);
        connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd watched = {filler, POLLOUT, 0};
        if (poll(&watched, 1, 200) == 0) return listener;
    }
    for (int filler : fillers) close(filler);
    fillers.clear();
    close(listener);
    return -1;
}

int connectToLoopback(unsigned short port) {
    int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connection < 0) return -1;
    sockaddr_in address = loopbackAddress(port);
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(connection);
        return -1;
    }
    return connection;
}

int acceptUntilStopped(int listener, const std::atomic<bool>& stopping) {
    for (;;) {
        bool stopped = stopping;
        pollfd watched = {listener, POLLIN, 0};
        if (poll(&watched, 1, stopped ? 0 : 20) > 0) {
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) return connection;
        }
        if (stopped) return -1;
    }
}

std::string readRequestHead(int connection) {
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (head.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd watched = {connection, POLLIN, 0};
        if (poll(&watched, 1, 100) <= 0) continue;
        char block[4096];
        ssize_t count = recv(connection, block, sizeof block, 0);
        if (count <= 0) break;
        head.append(block, static_cast<size_t>(count));
    }
    return head;
}

int sendAllBytes(int connection, const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t sent = send(connection, bytes, count, MSG_NOSIGNAL);
        if (sent <= 0) return 0;
        bytes += sent;
        count -= static_cast<size_t>(sent);
    }
    return 1;
}

void resetConnectionNow(int connection) {
    linger abort = {1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(connection);
}
