#include "tests/real_server/fault_relay.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"

namespace {

// No relayed connection may outlive this, so a stuck peer cannot hang a test.
const auto kConnectionDeadline = std::chrono::seconds(60);

struct Pair {
    int client;
    int server;
    std::int64_t replyBytes = 0;
    std::int64_t replyLimit;  // -1: unlimited
    std::string request;
};

// Moves what the client sent to the server. Returns 0 once the client closed.
int forwardRequest(Pair& pair) {
    char block[4096];
    ssize_t count = recv(pair.client, block, sizeof block, 0);
    if (count <= 0) {
        shutdown(pair.server, SHUT_WR);
        return 0;
    }
    pair.request.append(block, static_cast<size_t>(count));
    return sendAllBytes(pair.server, block, static_cast<size_t>(count));
}

// Moves reply bytes to the client, up to the limit. Returns 0 when the
// connection is over: the server closed, the client went, or the limit hit.
int forwardReply(Pair& pair) {
    char block[65536];
    size_t room = sizeof block;
    if (pair.replyLimit >= 0) room = static_cast<size_t>(std::min<std::int64_t>(room, pair.replyLimit - pair.replyBytes));
    ssize_t count = recv(pair.server, block, room, 0);
    if (count <= 0) return 0;
    pair.replyBytes += count;
    if (!sendAllBytes(pair.client, block, static_cast<size_t>(count))) return 0;
    return pair.replyLimit < 0 || pair.replyBytes < pair.replyLimit;
}

// Relays one connection until it ends; resets the client when the limit hit.
std::string relayConnection(Pair& pair) {
    auto deadline = std::chrono::steady_clock::now() + kConnectionDeadline;
    bool clientOpen = true;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd watched[2] = {{clientOpen ? pair.client : -1, POLLIN, 0}, {pair.server, POLLIN, 0}};
        if (poll(watched, 2, 100) <= 0) continue;
        if (watched[0].revents != 0 && clientOpen) clientOpen = forwardRequest(pair);
        if (watched[1].revents != 0 && !forwardReply(pair)) break;
    }
    if (pair.replyLimit >= 0 && pair.replyBytes >= pair.replyLimit) {
        resetConnectionNow(pair.client);
    } else {
        close(pair.client);
    }
    close(pair.server);
    return pair.request;
}

void serve(FaultRelay& relay) {
    bool first = true;
    int client;
    while ((client = acceptUntilStopped(relay.listener, relay.stopping)) >= 0) {
        int server = connectToLoopback(relay.serverPort);
        if (server < 0) {
            close(client);
            continue;
        }
        Pair pair{client, server, 0, first ? relay.resetAfterBytes : -1, std::string()};
        first = false;
        std::string request = relayConnection(pair);
        std::lock_guard<std::mutex> guard(relay.requestsLock);
        relay.requests.push_back(request);
    }
}

}  // namespace

int startFaultRelay(FaultRelay& relay, unsigned short port, unsigned short serverPort, std::int64_t resetAfterBytes) {
    relay.listener = listenOnLoopback(port);
    if (relay.listener < 0) return -1;
    relay.serverPort = serverPort;
    relay.resetAfterBytes = resetAfterBytes;
    relay.thread = std::thread(serve, std::ref(relay));
    return 0;
}

std::vector<std::string> stopFaultRelay(FaultRelay& relay) {
    relay.stopping = true;
    if (relay.thread.joinable()) relay.thread.join();
    if (relay.listener >= 0) close(relay.listener);
    relay.listener = -1;
    std::lock_guard<std::mutex> guard(relay.requestsLock);
    return relay.requests;
}
