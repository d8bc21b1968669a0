#include "platform/tls_texts.h"

#include "support/log.h"
#include "support/shown_text.h"

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
        case tlsClientCertificateRequired:
            assignFormat(problem, "TLS: %s requires a client certificate\n", hostName);
            break;
        case tlsChainTooLarge:
            assignFormat(problem, "TLS: the certificate chain of %s is too large\n", hostName);
            break;
    }
}

void describeChainDateRefusal(TlsRefusal refusal, TlsChainPlace place, const char* subject, const char* hostName,
                              const char* day, BoundedString& problem) {
    if (place == tlsLeaf) {
        describeTlsRefusal(refusal, hostName, day, problem);
        return;
    }
    BoundedString shown = escapedCopy(subject);
    const char* role = place == tlsRoot ? "root" : "intermediate";
    const char* verdict = refusal == tlsExpired ? "expired on" : "is not valid before";
    assignFormat(problem, "TLS: the %s certificate \"%s\" of %s %s %s\n", role, textOf(shown), hostName, verdict, day);
}

void addCertificateName(CertificateNames& names, const char* name, int length) {
    ++names.count;
    if (names.count > kShownCertificateNames) return;
    if (names.count > 1) appendBytes(names.shown, ", ", 2);
    appendEscaped(names.shown, name, length);
}

void describeNameMismatch(const CertificateNames& names, const char* hostName, BoundedString& problem) {
    BoundedString shown;
    if (names.count == 0) {
        assignText(shown, "an unnamed host");
    } else {
        shown = names.shown;
    }
    if (names.count > kShownCertificateNames) {
        BoundedString more;
        assignFormat(more, " and %d more", names.count - kShownCertificateNames);
        appendBytes(shown, more.buffer, more.length);
    }
    describeTlsRefusal(tlsOtherName, hostName, textOf(shown), problem);
}

void logTlsDetails(const char* version, const char* cipher, const char* subject, const char* issuer,
                   int checked) {
    if (verbosity < 9) return;
    logAt(9, "TLS: %s, cipher %s\n", version, cipher);
    BoundedString shown = escapedCopy(subject);
    logAt(9, "TLS: certificate subject %s\n", textOf(shown));
    shown = escapedCopy(issuer);
    logAt(9, "TLS: certificate issuer %s\n", textOf(shown));
    logAt(9, checked ? "TLS: certificate checked: trusted, valid and for this name\n"
                     : "TLS: certificate not checked (-k)\n");
}

void describeTlsUnavailable(const char* why, BoundedString& problem) {
    assignFormat(problem, "TLS: https is not available: %s\n", why);
}
