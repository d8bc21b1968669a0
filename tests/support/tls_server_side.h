// The fake server's side of TLS: OpenSSL linked into the tests (the
// program itself loads it at run time), with a leaf of the test
// certificates.
#pragma once

#include <cstddef>
#include <string>

struct TlsServerContext;
struct TlsServerConnection;

// Returns a context that serves the named leaf, in the ways (of
// test_certificates.h) that follow its name, or null.
TlsServerContext* makeTlsServerContext(const std::string& leafAndWays);

void freeTlsServerContext(TlsServerContext* context);

// Runs the server's handshake on an accepted connection. Returns the TLS
// connection, or null when the handshake failed.
TlsServerConnection* acceptTlsConnection(TlsServerContext* context, int connection);

// Reads until the empty line that ends a request head, the peer's close,
// or 5 s. Returns what was read.
std::string readTlsRequestHead(TlsServerConnection* tls);

// Sends all bytes. Returns 1, or 0 when the connection failed.
int sendTlsBytes(TlsServerConnection* tls, const char* bytes, size_t count);

// Returns the bytes sealed as one TLS record, as they would go on the
// wire, without sending them.
std::string sealTlsRecord(TlsServerConnection* tls, const std::string& bytes);

// Sends close_notify when notify is set, then frees the TLS connection
// (the socket stays for the caller to close or reset).
void endTlsConnection(TlsServerConnection* tls, int notify);
