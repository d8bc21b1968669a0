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
    tlsClientCertificateRequired,  // an alert after the server asked for a client certificate
    tlsChainTooLarge,     // the server's certificates pass what the library takes
};

// Sets problem to the level-1 line for the refusal of hostName's connection.
void describeTlsRefusal(TlsRefusal refusal, const char* hostName, const char* detail, BoundedString& problem);

// Where a certificate of the server's chain that failed stands in it.
enum TlsChainPlace { tlsLeaf, tlsIntermediate, tlsRoot };

// Sets problem to the level-1 line for a certificate of the chain that is
// not valid today: refusal is tlsExpired or tlsNotYetValid, day its own
// date, subject its subject (shown escaped); a leaf reads as
// describeTlsRefusal's line.
void describeChainDateRefusal(TlsRefusal refusal, TlsChainPlace place, const char* subject, const char* hostName,
                              const char* day, BoundedString& problem);

// The names a certificate holds, as the line of a failed name check shows
// them: the first kShownCertificateNames escaped, the rest counted.
const int kShownCertificateNames = 5;
struct CertificateNames {
    BoundedString shown;
    int count = 0;
};

// Adds a name of length bytes the certificate holds.
void addCertificateName(CertificateNames& names, const char* name, int length);

// Sets problem to the line of a certificate for other names than
// hostName, naming them as "a, b, c, d, e and 3 more", or "an unnamed
// host" when there are none.
void describeNameMismatch(const CertificateNames& names, const char* hostName, BoundedString& problem);

// Logs at level 9 what the handshake agreed on and what the check found:
// checked is 1 when the certificate passed, 0 when it was not checked.
void logTlsDetails(const char* version, const char* cipher, const char* subject, const char* issuer,
                   int checked);

// The line for a build or system without TLS.
void describeTlsUnavailable(const char* why, BoundedString& problem);
