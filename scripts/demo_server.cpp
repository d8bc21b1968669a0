// A small HTTP/1.0 server for demonstrations and local measurements: it
// serves one file on a loopback port, with Content-Length and
// Accept-Ranges: bytes, answers "Range: bytes=N-" and "bytes=N-M" with 206,
// and can reset its first connection after a given number of body bytes so
// that a client has a broken transfer to resume. It stops by itself after a
// number of connections or when no connection comes for a while.
//
// Usage: webhaul_demo_server [options] FILE
//   --port N          port on 127.0.0.1 (default 80)
//   --cut-after N     reset the first connection after N body bytes
//   --connections N   serve this many connections, then exit (default 8)
//   --idle-seconds N  exit when no connection comes for N seconds (default 30)
//   --block N         bytes per write (default 65536)
//   --pause-ms N      pause after each write (default 0)
// It reports on standard error: one line when it listens, one per connection.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct ServerSettings {
    int port = 80;
    std::int64_t cutAfter = -1;  // -1: never cut
    int connections = 8;
    int idleSeconds = 30;
    std::int64_t block = 65536;
    int pauseMillis = 0;
    const char* fileName = nullptr;
};

struct Request {
    int headOnly = 0;
    std::string path;
    int hasRange = 0;
    std::int64_t first = 0;
    std::int64_t last = -1;  // -1: to the end
};

// The reply to one request: its header section and the part of the file
// that follows it.
struct Reply {
    std::string head;
    std::int64_t from = 0;
    std::int64_t count = 0;
    int status = 200;
};

void printUsage() {
    std::fprintf(stderr,
                 "Usage: webhaul_demo_server [--port N] [--cut-after N] [--connections N]\n"
                 "                           [--idle-seconds N] [--block N] [--pause-ms N] FILE\n");
}

// Reads a non-negative number. Returns 1, or 0 when the text is none.
int readNumber(const char* text, std::int64_t& value) {
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || parsed < 0) return 0;
    value = parsed;
    return 1;
}

// Stores one "--name value" pair. Returns 1, or 0 for an unknown name or bad value.
int applyOption(ServerSettings& settings, const std::string& name, const char* text) {
    std::int64_t value = 0;
    if (!readNumber(text, value)) return 0;
    if (name == "--port" && value > 0 && value < 65536) settings.port = static_cast<int>(value);
    else if (name == "--cut-after") settings.cutAfter = value;
    else if (name == "--connections" && value > 0 && value < 100000) settings.connections = static_cast<int>(value);
    else if (name == "--idle-seconds" && value > 0 && value < 86400) settings.idleSeconds = static_cast<int>(value);
    else if (name == "--block" && value > 0) settings.block = value;
    else if (name == "--pause-ms" && value < 60000) settings.pauseMillis = static_cast<int>(value);
    else return 0;
    return 1;
}

// Returns 1 when the arguments are complete and valid, 0 otherwise.
int readSettings(int argumentCount, char** arguments, ServerSettings& settings) {
    for (int index = 1; index < argumentCount; ++index) {
        std::string argument = arguments[index];
        if (argument.compare(0, 2, "--") != 0) {
            if (settings.fileName != nullptr) return 0;
            settings.fileName = arguments[index];
        } else if (index + 1 >= argumentCount || !applyOption(settings, argument, arguments[++index])) {
            return 0;
        }
    }
    return settings.fileName != nullptr;
}

// Loads the whole file. Returns 1, or 0 when it cannot be read.
int loadFile(const char* name, std::string& bytes) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return 0;
    char block[65536];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, count);
    int ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

// Returns a socket listening on 127.0.0.1:port, or -1.
int listenOnLoopback(int port) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return -1;
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

// Waits for a connection. Returns it, or -1 after idleSeconds without one.
int acceptWithin(int listener, int idleSeconds) {
    pollfd watched = {listener, POLLIN, 0};
    if (poll(&watched, 1, idleSeconds * 1000) <= 0) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Reads the request's header section: up to the empty line, the peer's
// close, 64 KiB plus a little, or 5 seconds of silence.
std::string readRequestText(int connection) {
    std::string text;
    while (text.find("\r\n\r\n") == std::string::npos && text.find("\n\n") == std::string::npos &&
           text.size() < 70000) {
        pollfd watched = {connection, POLLIN, 0};
        if (poll(&watched, 1, 5000) <= 0) break;
        char block[8192];
        ssize_t count = recv(connection, block, sizeof block, 0);
        if (count <= 0) break;
        text.append(block, static_cast<size_t>(count));
    }
    return text;
}

// Reads "bytes=N-" or "bytes=N-M" after the header name.
void readRangeValue(const char* value, Request& request) {
    while (*value == ' ' || *value == '\t') ++value;
    if (strncasecmp(value, "bytes=", 6) != 0) return;
    char* end = nullptr;
    long long first = std::strtoll(value + 6, &end, 10);
    if (end == value + 6 || *end != '-' || first < 0) return;
    const char* lastText = end + 1;
    long long last = std::strtoll(lastText, &end, 10);
    request.hasRange = 1;
    request.first = first;
    request.last = end == lastText ? -1 : last;
}

Request parseRequest(const std::string& text) {
    Request request;
    size_t lineEnd = text.find('\n');
    std::string requestLine = text.substr(0, lineEnd);
    request.headOnly = requestLine.compare(0, 5, "HEAD ") == 0;
    size_t pathStart = requestLine.find(' ');
    size_t pathEnd = pathStart == std::string::npos ? pathStart : requestLine.find(' ', pathStart + 1);
    if (pathStart != std::string::npos) request.path = requestLine.substr(pathStart + 1, pathEnd - pathStart - 1);
    while (lineEnd != std::string::npos) {
        size_t next = text.find('\n', lineEnd + 1);
        std::string line = text.substr(lineEnd + 1, next == std::string::npos ? next : next - lineEnd - 1);
        if (strncasecmp(line.c_str(), "Range:", 6) == 0) readRangeValue(line.c_str() + 6, request);
        lineEnd = next;
    }
    return request;
}

std::string numberText(std::int64_t value) { return std::to_string(static_cast<long long>(value)); }

Reply replyFor(const Request& request, std::int64_t size) {
    Reply reply;
    std::string lengthLine;
    if (!request.hasRange) {
        reply.count = size;
        reply.head = "HTTP/1.0 200 OK\r\n";
    } else if (request.first >= size || (request.last >= 0 && request.last < request.first)) {
        reply.status = 416;
        reply.head = "HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */" + numberText(size) + "\r\n";
    } else {
        std::int64_t last = request.last < 0 || request.last >= size ? size - 1 : request.last;
        reply.status = 206;
        reply.from = request.first;
        reply.count = last + 1 - request.first;
        reply.head = "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + numberText(request.first) + "-" +
                     numberText(last) + "/" + numberText(size) + "\r\n";
    }
    reply.head += "Content-Type: application/octet-stream\r\nContent-Length: " + numberText(reply.count) +
                  "\r\nAccept-Ranges: bytes\r\n\r\n";
    if (request.headOnly) reply.count = 0;
    return reply;
}

// Sends all bytes. Returns 1, or 0 when the peer went away.
int sendAll(int connection, const char* bytes, std::int64_t count) {
    while (count > 0) {
        ssize_t sent = send(connection, bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (sent <= 0) return 0;
        bytes += sent;
        count -= sent;
    }
    return 1;
}

void sleepMillis(int millis) {
    timespec pause = {millis / 1000, static_cast<long>(millis % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// Lets the peer take what was sent, then resets the connection: a reset
// drops whatever still waits in the send queue.
void resetAfterDrain(int connection) {
    for (int waited = 0; waited < 2000; waited += 5) {
        int unsent = 0;
        if (ioctl(connection, SIOCOUTQ, &unsent) != 0 || unsent == 0) break;
        sleepMillis(5);
    }
    linger abort = {1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(connection);
}

// Sends the body in blocks, stopping after cutAfter bytes when that is set.
// Returns the count of body bytes sent.
std::int64_t sendBody(int connection, const std::string& file, const Reply& reply, const ServerSettings& settings,
                      std::int64_t cutAfter) {
    std::int64_t limit = cutAfter >= 0 && cutAfter < reply.count ? cutAfter : reply.count;
    std::int64_t sent = 0;
    while (sent < limit) {
        std::int64_t count = limit - sent < settings.block ? limit - sent : settings.block;
        if (!sendAll(connection, file.data() + reply.from + sent, count)) break;
        sent += count;
        if (settings.pauseMillis > 0) sleepMillis(settings.pauseMillis);
    }
    return sent;
}

// Answers one connection; the cut applies when cutAfter is not -1.
void serveConnection(int connection, int number, const std::string& file, const ServerSettings& settings,
                     std::int64_t cutAfter) {
    int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Request request = parseRequest(readRequestText(connection));
    Reply reply = replyFor(request, static_cast<std::int64_t>(file.size()));
    std::int64_t sent = 0;
    if (sendAll(connection, reply.head.data(), static_cast<std::int64_t>(reply.head.size()))) {
        sent = sendBody(connection, file, reply, settings, cutAfter);
    }
    int cut = cutAfter >= 0 && cutAfter < reply.count;
    std::fprintf(stderr, "server: connection %d: %s %s%s%s -> %d, sent %" PRId64 " of %" PRId64 " body bytes%s\n",
                 number, request.headOnly ? "HEAD" : "GET", request.path.c_str(),
                 request.hasRange ? ", from byte " : "", request.hasRange ? numberText(request.first).c_str() : "",
                 reply.status, sent, reply.count, cut ? ", then reset the connection" : "");
    if (cut) {
        resetAfterDrain(connection);
    } else {
        shutdown(connection, SHUT_WR);
        close(connection);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ServerSettings settings;
    if (!readSettings(argc, argv, settings)) {
        printUsage();
        return 2;
    }
    std::string file;
    if (!loadFile(settings.fileName, file)) {
        std::fprintf(stderr, "server: cannot read %s: %s\n", settings.fileName, std::strerror(errno));
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    int listener = listenOnLoopback(settings.port);
    if (listener < 0) {
        std::fprintf(stderr, "server: cannot listen on 127.0.0.1:%d: %s\n", settings.port, std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "server: listening on 127.0.0.1:%d, %zu bytes to serve\n", settings.port, file.size());
    for (int number = 1; number <= settings.connections; ++number) {
        int connection = acceptWithin(listener, settings.idleSeconds);
        if (connection < 0) break;
        serveConnection(connection, number, file, settings, number == 1 ? settings.cutAfter : -1);
    }
    close(listener);
    return 0;
}
