#include "platform/tls_texts.h"

#include "support/log.h"

void describeTlsRefusal(TlsRefusal refusal, const char* hostName, const char* detail, BoundedString& problem) {
    switch (refusal) {
        case tlsNotTrusted:
            assignFormat(problem, "TLS: the certificate of %s is not trusted (self-signed or unknown authority)\n",
                         hostName);
            break;
        case tlsNotYetValid:
            assignFormat(problem, "TLS: the certificate of %s is not valid before %s\n", hostName, detail);
            break;
        case tlsExpired:
            assignFormat(problem, "TLS: the certificate of %s expired on %s\n", hostName, detail);
            break;
        case tlsOtherName:
            assignFormat(problem, "TLS: the certificate of %s is for %s, not %s\n", hostName, detail, hostName);
            break;
        case tlsHandshakeRefused:
            assignFormat(problem, "TLS: %s refused the handshake (no common protocol or cipher)\n", hostName);
            break;
        case tlsNotTls:
            assignFormat(problem, "TLS: %s did not answer with TLS\n", hostName);
            break;
    }
}

void logTlsDetails(const char* version, const char* cipher, const char* subject, const char* issuer,
                   int checked) {
    logAt(9, "TLS: %s, cipher %s\n", version, cipher);
    logAt(9, "TLS: certificate subject %s\n", subject);
    logAt(9, "TLS: certificate issuer %s\n", issuer);
    logAt(9, checked ? "TLS: certificate checked: trusted, valid and for this name\n"
                     : "TLS: certificate not checked (-k)\n");
}

void describeTlsUnavailable(const char* why, BoundedString& problem) {
    assignFormat(problem, "TLS: https is not available: %s\n", why);
}
