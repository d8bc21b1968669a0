// Small socket helpers for the servers that the tests run on loopback: listening, connecting, accepting until told to stop, and
// reading a request's head.
#pragma once

#include <atomic>
#include <string>
#include <vector>

// Returns a socket listening on 127.0.0.1:port, or -1.
int listenOnLoopback(unsigned short port, int backlog = 16);

// Listens on 127.0.0.1:port, accepts nothing and fills the queue of
// connections with its own, so that a further connect gets no answer at
// all. Returns the listener, or -1; fillers receives the filling
// connections (close them with it).
int listenWithoutAnswer(unsigned short port, std::vector<int>& fillers);

// Returns the local port a socket is bound to, or 0 on failure.
unsigned short boundPort(int socket);

// Returns a socket connected to 127.0.0.1:port, or -1.
int connectToLoopback(unsigned short port);

// Waits for a connection. Returns it, or -1 once stopping is set and no
// connection made before is waiting.
int acceptUntilStopped(int listener, const std::atomic<bool>& stopping);

// Reads from a connection until the empty line that ends a request head,
// the peer's close, or 5 s. Returns what was read.
std::string readRequestHead(int connection);

// Sends all bytes. Returns 1, or 0 when the connection failed.
int sendAllBytes(int connection, const char* bytes, size_t count);

// Closes the connection with a reset instead of an orderly close.
void resetConnectionNow(int connection);
