// TLS over a connected socket of the socket layer: the handshake, with the
// server's certificate checked against the platform's own trusted
// authorities, then sends and receives that behave as sendBytes and
// receiveBytes do (the same idle limit, interrupt and error codes).
// Each platform has its own library behind it, loaded on the first use so
// that a run without https never pays for it.
#pragma once

#include "platform/platform.h"
#include "support/bounded_string.h"

struct TlsSession;

// What tlsStart returns.
enum TlsStartOutcome {
    tlsStarted = 0,
    // The connection failed, was cut or went silent before the handshake
    // ended: the last socket error says why, and asking again may work.
    tlsBroken,
    // A check of the certificate failed, the server refused the handshake
    // or answered with something that is not TLS: problem holds the line.
    tlsRefused,
    // This build or this system has no TLS: problem holds the line.
    tlsUnavailable,
    // tlsStep only: the handshake waits for the socket (see wantWrite).
    tlsInProgress,
};

struct TlsPeer {
    const char* hostName = "";     // a name without a final dot, or a dotted or IPv6 address, at most kLongestHostName bytes
    int acceptAnyCertificate = 0;  // no chain, date or name check
};

// Loads the platform's TLS library, once. Returns 1 when https can be
// used, 0 with the line that says why not.
int tlsAvailable(BoundedString& problem);

// Runs the handshake on a connected socket. Returns a TlsStartOutcome;
// session is set only for tlsStarted. Logs the version, cipher suite,
// certificate and the result of its check at level 9.
int tlsStart(SocketHandle socket, const TlsPeer& peer, TlsSession*& session, BoundedString& problem);

// Readies TLS on a connected socket without a byte sent: tlsStep then
// runs the handshake without waiting. Returns tlsStarted with session set,
// or tlsUnavailable with the line that says why.
int tlsBegin(SocketHandle socket, const TlsPeer& peer, TlsSession*& session, BoundedString& problem);

// Takes the handshake tlsBegin readied as far as it goes without waiting.
// Returns tlsInProgress when it waits for the socket (writable when
// wantWrite is set, else readable); tlsStarted once it ended and the
// certificate passed its checks, logged at level 9 as tlsStart does; or
// tlsBroken or tlsRefused as tlsStart does, the session then released and
// set to null. peer must be the one tlsBegin was given.
int tlsStep(TlsSession*& session, const TlsPeer& peer, int& wantWrite, BoundedString& problem);

// Sends all count bytes. Returns the count sent, or -1 on failure.
int tlsSend(TlsSession* session, const char* bytes, int count);

// Waits for decrypted bytes. Returns the count (at most capacity), 0 when
// the server ended TLS in order (close_notify), -1 on failure; a
// connection that ended without close_notify fails with the disconnected
// code, since it cannot be told from a cut.
int tlsReceive(TlsSession* session, char* block, int capacity);

// What tlsReceiveNow returns when no whole record has arrived yet.
const int kTlsWouldWait = -2;

// As tlsReceive, but never waits for the socket: what arrived is taken
// in, and kTlsWouldWait says that no decrypted byte is there yet. For a
// loop that waits on several connections at once.
int tlsReceiveNow(TlsSession* session, char* block, int capacity);

// Returns 1 when decrypted bytes, or records already received, wait
// inside the session: the socket may never turn readable for them.
int tlsHasBufferedBytes(TlsSession* session);

// After a receive failed: returns 1 with the level-1 line when the server
// refused the session past its handshake for want of a client certificate
// (it asked for one, then ended with an alert), which asking again will
// not change; 0 otherwise.
int tlsRefusal(TlsSession* session, BoundedString& problem);

// Releases the session; the socket stays open for closeSocket.
void tlsEnd(TlsSession* session);
