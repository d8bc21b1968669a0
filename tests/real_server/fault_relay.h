// A TCP relay for tests that sits between the program and a real server:
// it forwards both ways, one connection at a time, and resets the first
// client connection after a chosen number of reply bytes, so that the
// program's retry meets the server's own handling of the retried request.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FaultRelay {
    int listener = -1;
    unsigned short serverPort = 0;
    std::int64_t resetAfterBytes = -1;  // -1: never reset
    std::vector<std::string> requests;  // what each client sent, in order
    std::mutex requestsLock;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// Listens on 127.0.0.1:port and relays to 127.0.0.1:serverPort. Returns 0,
// or -1 when it cannot listen.
int startFaultRelay(FaultRelay& relay, unsigned short port, unsigned short serverPort, std::int64_t resetAfterBytes);

// Stops the relay. Returns what each client sent, in order.
std::vector<std::string> stopFaultRelay(FaultRelay& relay);
