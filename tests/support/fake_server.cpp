#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"

namespace {

void sleepMillis(int millis) { std::this_thread::sleep_for(std::chrono::milliseconds(millis)); }

void sendInChunks(int connection, const ServerStep& step) {
    size_t chunk = step.chunk == 0 ? step.bytes.size() : step.chunk;
    for (size_t offset = 0; offset < step.bytes.size(); offset += chunk) {
        if (offset > 0) sleepMillis(step.millis > 0 ? step.millis : 1);
        sendAllBytes(connection, step.bytes.data() + offset, std::min(chunk, step.bytes.size() - offset));
    }
}

// Plays one script on an accepted connection and ends it.
void playScript(FakeServer& server, int connection, const ConnectionScript& script) {
    for (const ServerStep& step : script) {
        switch (step.kind) {
            case ServerStep::sendData:
                sendInChunks(connection, step);
                break;
            case ServerStep::pause:
                sleepMillis(step.millis);
                break;
            case ServerStep::closeInOrder:
                close(connection);
                return;
            case ServerStep::reset:
                resetConnectionNow(connection);
                return;
            case ServerStep::stall:
                while (!server.stopping) sleepMillis(5);
                close(connection);
                return;
        }
    }
    close(connection);
}

void serve(FakeServer& server) {
    size_t count = server.respond ? static_cast<size_t>(server.connectionLimit) : server.scripts.size();
    for (size_t index = 0; index < count; ++index) {
        int connection = acceptUntilStopped(server.listener, server.stopping);
        if (connection < 0) break;
        // Stop listening before the last script plays: a client that
        // connects again once it ends must be refused, not reset.
        if (index + 1 == count) {
            close(server.listener);
            server.listener = -1;
        }
        int on = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::string request = readRequestHead(connection);
        {
            std::lock_guard<std::mutex> guard(server.requestsLock);
            server.requests.push_back(request);
        }
        playScript(server, connection, server.respond ? server.respond(request) : server.scripts[index]);
    }
    if (server.listener >= 0) close(server.listener);
    server.listener = -1;
}

}  // namespace

ServerStep sendData(const std::string& bytes, size_t chunk, int millisBetweenChunks) {
    ServerStep step;
    step.kind = ServerStep::sendData;
    step.bytes = bytes;
    step.chunk = chunk;
    step.millis = millisBetweenChunks;
    return step;
}

ServerStep pauseFor(int millis) {
    ServerStep step;
    step.kind = ServerStep::pause;
    step.millis = millis;
    return step;
}

ServerStep closeInOrder() { return ServerStep(); }

ServerStep resetConnection() {
    ServerStep step;
    step.kind = ServerStep::reset;
    return step;
}

ServerStep stallUntilStopped() {
    ServerStep step;
    step.kind = ServerStep::stall;
    return step;
}

int startFakeServer(FakeServer& server, unsigned short port, const std::vector<ConnectionScript>& scripts) {
    server.scripts = scripts;
    server.listener = listenOnLoopback(port);
    if (server.listener < 0) return -1;
    server.port = boundPort(server.listener);
    server.thread = std::thread(serve, std::ref(server));
    return 0;
}

int startRespondingServer(FakeServer& server, unsigned short port, int connectionLimit, Responder respond) {
    server.respond = std::move(respond);
    server.connectionLimit = connectionLimit;
    return startFakeServer(server, port, {});
}

int openRefusingPort(unsigned short& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || (port = boundPort(fd)) == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<std::string> stopFakeServer(FakeServer& server) {
    server.stopping = true;
    if (server.thread.joinable()) server.thread.join();
    std::lock_guard<std::mutex> guard(server.requestsLock);
    return server.requests;
}

std::string httpReply(const std::string& statusLine, const std::vector<std::string>& headers,
                      const std::string& body) {
    std::string reply = statusLine + "\r\n";
    for (const std::string& header : headers) reply += header + "\r\n";
    return reply + "\r\n" + body;
}

std::string patternBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t index = 0; index < size; ++index) bytes[index] = static_cast<char>((index + seed) & 0xFF);
    return bytes;
}
