#include "tests/support/fake_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"
#include "tests/support/tls_server_side.h"

namespace {

void sleepMillis(int millis) { std::this_thread::sleep_for(std::chrono::milliseconds(millis)); }

// One accepted connection, plain or with TLS over it.
struct Channel {
    int socket = -1;
    TlsServerConnection* tls = nullptr;
};

// Returns 1, or 0 when the connection failed.
int sendOnChannel(Channel& channel, const char* bytes, size_t count) {
    if (channel.tls != nullptr) return sendTlsBytes(channel.tls, bytes, count);
    return sendAllBytes(channel.socket, bytes, count);
}

// Stops at a failed send: the client is gone, and the rest would only pace.
void sendInChunks(Channel& channel, const ServerStep& step) {
    size_t chunk = step.chunk == 0 ? step.bytes.size() : step.chunk;
    for (size_t offset = 0; offset < step.bytes.size(); offset += chunk) {
        if (offset > 0) sleepMillis(step.millis > 0 ? step.millis : 1);
        if (!sendOnChannel(channel, step.bytes.data() + offset, std::min(chunk, step.bytes.size() - offset))) return;
    }
}

// Sends the bytes sealed as one TLS record raw on the socket, part of it
// at once and the rest a byte at a time.
void sendRecordRaw(Channel& channel, const ServerStep& step) {
    std::string record = sealTlsRecord(channel.tls, step.bytes);
    size_t sent = std::min(step.chunk, record.size());
    if (!sendAllBytes(channel.socket, record.data(), sent)) return;
    for (; sent < record.size(); ++sent) {
        sleepMillis(step.millis);
        if (!sendAllBytes(channel.socket, record.data() + sent, 1)) return;
    }
}

// Ends the connection: in order (with close_notify over TLS when notify
// is set) or with a reset.
void endChannel(Channel& channel, int notify, int reset) {
    endTlsConnection(channel.tls, notify && !reset);
    if (reset) {
        resetConnectionNow(channel.socket);
    } else {
        close(channel.socket);
    }
}

// Plays one script on an accepted connection and ends it.
void playScript(FakeServer& server, Channel& channel, const ConnectionScript& script) {
    for (const ServerStep& step : script) {
        switch (step.kind) {
            case ServerStep::sendData:
                sendInChunks(channel, step);
                break;
            case ServerStep::sendSealed:
                sendRecordRaw(channel, step);
                break;
            case ServerStep::pause:
                sleepMillis(step.millis);
                break;
            case ServerStep::closeInOrder:
            case ServerStep::closeWithoutNotify:
                endChannel(channel, step.kind == ServerStep::closeInOrder, 0);
                return;
            case ServerStep::reset:
                endChannel(channel, 0, 1);
                return;
            case ServerStep::stall:
                while (!server.stopping) sleepMillis(5);
                endChannel(channel, 1, 0);
                return;
        }
    }
    endChannel(channel, 1, 0);
}

// Takes the request head, after the handshake when the server speaks TLS.
std::string readHead(FakeServer& server, Channel& channel) {
    if (server.tls == nullptr) return readRequestHead(channel.socket);
    channel.tls = acceptTlsConnection(server.tls, channel.socket);
    return channel.tls == nullptr ? std::string() : readTlsRequestHead(channel.tls);
}

void serve(FakeServer& server) {
    std::vector<std::thread> players;
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
        Channel channel;
        channel.socket = connection;
        std::string request = readHead(server, channel);
        {
            std::lock_guard<std::mutex> guard(server.requestsLock);
            server.requests.push_back(request);
        }
        if (!server.respond) {
            playScript(server, channel, server.scripts[index]);
            continue;
        }
        // Answered by its request, a connection plays beside the others, as
        // several connections for one file need.
        ConnectionScript script = server.respond(request);
        ++server.playing;
        players.emplace_back([&server, channel, script]() mutable {
            playScript(server, channel, script);
            --server.playing;
        });
    }
    for (std::thread& player : players) player.join();
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

ServerStep closeWithoutTlsNotify() {
    ServerStep step;
    step.kind = ServerStep::closeWithoutNotify;
    return step;
}

ServerStep sendSealedRecord(const std::string& bytes, size_t atOnce, int millisPerByte) {
    ServerStep step = sendData(bytes, atOnce, millisPerByte);
    step.kind = ServerStep::sendSealed;
    return step;
}

ServerStep stallUntilStopped() {
    ServerStep step;
    step.kind = ServerStep::stall;
    return step;
}

int startFakeServer(FakeServer& server, unsigned short port, const std::vector<ConnectionScript>& scripts) {
    server.scripts = scripts;
    if (!server.tlsLeaf.empty() && (server.tls = makeTlsServerContext(server.tlsLeaf)) == nullptr) return -1;
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
    freeTlsServerContext(server.tls);
    server.tls = nullptr;
    std::lock_guard<std::mutex> guard(server.requestsLock);
    return server.requests;
}

std::string httpReply(const std::string& statusLine, const std::vector<std::string>& headers,
                      const std::string& body) {
    std::string reply = statusLine + "\r\n";
    for (const std::string& header : headers) reply += header + "\r\n";
    return reply + "\r\n" + body;
}

RequestedRange requestedRange(const std::string& request) {
    RequestedRange range;
    size_t at = request.find("\r\nRange: bytes=");
    if (at == std::string::npos) return range;
    char* end = nullptr;
    range.first = std::strtoll(request.c_str() + at + 15, &end, 10);
    if (*end == '-' && end[1] >= '0' && end[1] <= '9') range.last = std::strtoll(end + 1, nullptr, 10);
    return range;
}

std::string patternBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t index = 0; index < size; ++index) bytes[index] = static_cast<char>((index + seed) & 0xFF);
    return bytes;
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    std::string text;
    for (unsigned char byte : digest) text += "0123456789abcdef"[byte >> 4], text += "0123456789abcdef"[byte & 15];
    return text;
}
