// A scripted HTTP server on loopback for tests: it accepts one connection
// per script entry, records the request, then plays the entry's steps
// (bytes in given chunk sizes, pauses, an orderly close, a reset or a
// stall). After the last entry it stops listening, so later connects are
// refused. With a TLS leaf named it speaks TLS: an orderly close then sends
// close_notify first, and a reset or closeWithoutNotify does not.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ServerStep {
    enum Kind { sendData, pause, closeInOrder, reset, stall, closeWithoutNotify, sendSealed };
    Kind kind = closeInOrder;
    std::string bytes;   // sendData: what to send
    size_t chunk = 0;    // sendData: bytes per write (0: all in one write); sendSealed: bytes sent at once
    int millis = 0;      // pause: how long; sendData: pause between chunks; sendSealed: between bytes
};

ServerStep sendData(const std::string& bytes, size_t chunk = 0, int millisBetweenChunks = 0);
ServerStep pauseFor(int millis);
ServerStep closeInOrder();
ServerStep resetConnection();
ServerStep stallUntilStopped();
ServerStep closeWithoutTlsNotify();
// Over TLS: the bytes as one record, of which the first atOnce bytes go in
// one write and the rest one byte at a time, millis apart.
ServerStep sendSealedRecord(const std::string& bytes, size_t atOnce, int millisPerByte);

typedef std::vector<ServerStep> ConnectionScript;

// Chooses the script for one connection from the request it received.
typedef std::function<ConnectionScript(const std::string& request)> Responder;

struct TlsServerContext;

struct FakeServer {
    int listener = -1;
    std::string tlsLeaf;  // a leaf of the test certificates: serve TLS with it
    TlsServerContext* tls = nullptr;
    unsigned short port = 0;
    std::vector<ConnectionScript> scripts;
    Responder respond;          // when set: answers connectionLimit connections
    int connectionLimit = 0;
    std::vector<std::string> requests;
    std::mutex requestsLock;
    std::atomic<int> playing{0};  // connections answered by their request whose script still plays
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// Listens on 127.0.0.1:port (0: any free port, stored in server.port).
// Returns 0 on success, -1 on failure.
int startFakeServer(FakeServer& server, unsigned short port, const std::vector<ConnectionScript>& scripts);

// Like startFakeServer, but each of the first connectionLimit connections
// is answered with the script that respond returns for its request, each
// played on its own thread while the next connection is taken.
int startRespondingServer(FakeServer& server, unsigned short port, int connectionLimit, Responder respond);

// Binds a loopback socket without listening, so connects to its port are
// refused. Returns the socket (close it when done) or -1; stores the port.
int openRefusingPort(unsigned short& port);

// Stops the server. Returns the requests it received, in order.
std::vector<std::string> stopFakeServer(FakeServer& server);

// Returns a complete reply: the status line, the headers (each followed
// by CR LF), the empty line and the body.
std::string httpReply(const std::string& statusLine, const std::vector<std::string>& headers,
                      const std::string& body);

// The byte range a request's Range line asks for: first -1 when it has
// none, last -1 for an open end.
struct RequestedRange {
    long long first = -1;
    long long last = -1;
};
RequestedRange requestedRange(const std::string& request);

// Returns bytes 0..255 repeated to the given size, shifted by seed.
std::string patternBytes(size_t size, unsigned seed = 0);

// Returns the SHA-256 of the bytes as 64 lower-case hex digits.
std::string sha256Hex(const std::string& bytes);
