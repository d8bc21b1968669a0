// TLS on Linux: OpenSSL 3, loaded when the first https connection needs it.
#include "platform/tls.h"
#include "platform/tls_texts.h"

int tlsStart(SocketHandle, const TlsPeer&, TlsSession*& session, BoundedString& problem) {
    session = nullptr;
    describeTlsUnavailable("not built into this program", problem);
    return tlsUnavailable;
}

int tlsSend(TlsSession*, const char*, int) { return -1; }

int tlsReceive(TlsSession*, char*, int) { return -1; }

void tlsEnd(TlsSession*) {}
