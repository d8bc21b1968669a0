// The lines that say why a TLS connection was refused and what the
// handshake agreed on, worded the same on every platform.
#pragma once

#include "support/bounded_string.h"

enum TlsRefusal {
    tlsNotTrusted,        // the chain reaches no trusted authority
    tlsNotYetValid,       // detail: the first valid day, YYYY-MM-DD
    tlsExpired,           // detail: the last valid day, YYYY-MM-DD
    tlsOtherName,         // detail: the name the certificate is for
    tlsHandshakeRefused,  // the server sent an alert
    tlsNotTls,            // the server's bytes are not TLS
};

// Sets problem to the level-1 line for the refusal of hostName's connection.
void describeTlsRefusal(TlsRefusal refusal, const char* hostName, const char* detail, BoundedString& problem);

// Logs at level 9 what the handshake agreed on and what the check found:
// checked is 1 when the certificate passed, 0 when it was not checked.
void logTlsDetails(const char* version, const char* cipher, const char* subject, const char* issuer,
                   int checked);

// The line for a build or system without TLS.
void describeTlsUnavailable(const char* why, BoundedString& problem);
