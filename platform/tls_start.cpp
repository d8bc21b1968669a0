// The handshake that waits, for a single attempt: the same on every
// platform, made of the steps each TLS layer takes without waiting.
#include "platform/tls.h"

int tlsStart(SocketHandle socket, const TlsPeer& peer, TlsSession*& session, BoundedString& problem) {
    int outcome = tlsBegin(socket, peer, session, problem);
    if (outcome != tlsStarted) return outcome;
    int wantWrite = 0;
    while ((outcome = tlsStep(session, peer, wantWrite, problem)) == tlsInProgress) {
        if (waitForSocketReady(socket, wantWrite) != 0) {
            tlsEnd(session);
            session = nullptr;
            return tlsBroken;
        }
    }
    return outcome;
}
