// TLS on Windows: the system's own (SChannel through SSPI).
#include "platform/tls.h"
#include "platform/tls_texts.h"

int tlsAvailable(BoundedString& problem) {
    describeTlsUnavailable("not built into this program", problem);
    return 0;
}

int tlsStart(SocketHandle, const TlsPeer&, TlsSession*& session, BoundedString& problem) {
    session = nullptr;
    describeTlsUnavailable("not built into this program", problem);
    return tlsUnavailable;
}

int tlsSend(TlsSession*, const char*, int) { return -1; }

int tlsReceive(TlsSession*, char*, int) { return -1; }

void tlsEnd(TlsSession*) {}
