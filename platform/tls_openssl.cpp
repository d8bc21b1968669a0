// TLS on Linux: OpenSSL 3, loaded with dlopen when the first https
// connection needs it, so that a plain run neither maps the library nor
// needs it installed. Only the declarations come from OpenSSL's headers;
// every function is reached through a pointer resolved once.
#include "platform/tls.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/tls_texts.h"
#include "support/format_text.h"

#ifdef WEBHAUL_NO_TLS

int tlsAvailable(BoundedString& problem) {
    describeTlsUnavailable("a statically linked program cannot load the TLS library", problem);
    return 0;
}

int tlsBegin(SocketHandle, const TlsPeer&, TlsSession*& session, BoundedString& problem) {
    session = nullptr;
    tlsAvailable(problem);
    return tlsUnavailable;
}

int tlsStep(TlsSession*& session, const TlsPeer&, int& wantWrite, BoundedString& problem) {
    session = nullptr;
    wantWrite = 0;
    tlsAvailable(problem);
    return tlsUnavailable;
}

int tlsSend(TlsSession*, const char*, int) { return -1; }

int tlsReceive(TlsSession*, char*, int) { return -1; }

int tlsReceiveNow(TlsSession*, char*, int) { return -1; }

int tlsHasBufferedBytes(TlsSession*) { return 0; }

int tlsRefusal(TlsSession*, BoundedString&) { return 0; }

void tlsEnd(TlsSession*) {}

#else

#include <arpa/inet.h>
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

// The code the socket layer reports for a connection that ended before
// its reply was complete.
const int kDisconnectedCode = 10101;
// The most plain text one TLS record carries.
const int kLargestRecord = 16384;
// The connection's own data in the library's per-connection slots.
const int kSessionSlot = 0;

#define TLS_FUNCTIONS(X)                                                                      \
    X(TLS_client_method) X(SSL_CTX_new) X(SSL_CTX_ctrl) X(SSL_CTX_set_verify)                 \
    X(SSL_CTX_load_verify_dir) X(SSL_CTX_load_verify_file) X(SSL_new) X(SSL_free) X(SSL_ctrl) \
    X(SSL_set_fd) X(SSL_connect) X(SSL_get_error) X(SSL_read) X(SSL_write)                    \
    X(SSL_get_verify_result) X(SSL_get1_peer_certificate) X(SSL_get_version)                  \
    X(SSL_get_current_cipher) X(SSL_CIPHER_get_name) X(X509_free) X(X509_get_subject_name)    \
    X(X509_get_issuer_name) X(X509_NAME_oneline) X(X509_NAME_get_text_by_NID)                 \
    X(X509_check_host) X(X509_check_ip_asc) X(X509_get0_notBefore) X(X509_get0_notAfter)      \
    X(ASN1_TIME_to_tm) X(X509_get_default_cert_dir) X(X509_get_ext_d2i) X(OPENSSL_sk_num)      \
    X(OPENSSL_sk_value) X(GENERAL_NAMES_free) X(ASN1_STRING_get0_data) X(ASN1_STRING_length)  \
    X(ERR_get_error) X(ERR_clear_error) X(SSL_pending) X(SSL_has_pending) X(SSL_peek)                \
    X(SSL_CTX_set_client_cert_cb) X(SSL_set_ex_data) X(SSL_get_ex_data) X(SSL_get_shutdown)          \
    X(SSL_get_ex_data_X509_STORE_CTX_idx) X(X509_STORE_CTX_get_ex_data) X(X509_STORE_CTX_get_error)  \
    X(X509_STORE_CTX_get_error_depth) X(X509_STORE_CTX_get_current_cert) X(X509_STORE_CTX_get0_chain)

struct TlsLibrary {
#define DECLARE_POINTER(name) decltype(&::name) name;
    TLS_FUNCTIONS(DECLARE_POINTER)
#undef DECLARE_POINTER
    SSL_CTX* context;
    int loaded;  // 1: loaded, -1: failed, 0: not tried
};

TlsLibrary tls = {};

}  // namespace

struct TlsSession {
    SSL* connection;
    int descriptor;
    int askedForCertificate;  // the server sent a CertificateRequest
    // The certificate of the chain whose check failed first, if any.
    int failedDepth;          // -1: none
    int failedPlace;          // a TlsChainPlace
    char failedSubject[256];
    char failedDay[32];       // the date it failed by
    char hostName[kLongestHostName + 1];  // as the refusal lines name it
};

namespace {

// Resolves every function the layer uses. Returns 1, or 0 when one is missing.
int resolveFunctions(void* library) {
#define RESOLVE(name)                                                                  \
    tls.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));             \
    if (tls.name == nullptr) return 0;
    TLS_FUNCTIONS(RESOLVE)
#undef RESOLVE
    return 1;
}

// Trusted authorities as every OpenSSL program finds them, but the system's
// directory looked up one hashed file at a time instead of its whole bundle
// loaded at start.
int loadTrustedAuthorities(SSL_CTX* context) {
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* directory = std::getenv("SSL_CERT_DIR");
    int loaded = 0;
    if (file != nullptr && *file != '\0') loaded |= tls.SSL_CTX_load_verify_file(context, file);
    if (directory != nullptr && *directory != '\0') loaded |= tls.SSL_CTX_load_verify_dir(context, directory);
    if (file == nullptr && directory == nullptr) {
        loaded = tls.SSL_CTX_load_verify_dir(context, tls.X509_get_default_cert_dir());
    }
    tls.ERR_clear_error();  // a missing place is no failure: the chain check then fails
    return loaded;
}

// Writes the day of an ASN.1 time as YYYY-MM-DD.
void formatDay(const ASN1_TIME* time, char* day, size_t room) {
    std::tm parts;
    std::memset(&parts, 0, sizeof parts);
    if (time == nullptr || tls.ASN1_TIME_to_tm(time, &parts) != 1) {
        formatText(day, room, "an unknown day");
        return;
    }
    formatText(day, room, "%04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
}

// Writes a name as "CN=a, O=b", as the Windows layer shows it, from
// OpenSSL's "/CN=a/O=b".
void formatName(X509_NAME* name, char* text, int capacity) {
    char oneLine[256];
    tls.X509_NAME_oneline(name, oneLine, sizeof oneLine);
    int length = 0;
    for (const char* from = oneLine[0] == '/' ? oneLine + 1 : oneLine; *from != '\0' && length < capacity - 3; ++from) {
        if (*from == '/') text[length++] = ',';
        text[length++] = *from == '/' ? ' ' : *from;
    }
    text[length] = '\0';
}

// Returns the session a connection belongs to.
TlsSession* sessionOf(const SSL* connection) {
    return static_cast<TlsSession*>(tls.SSL_get_ex_data(connection, kSessionSlot));
}

// Called for each certificate of the chain as it is checked: keeps the
// first that failed, so that its own subject and date can be named.
// Returns ok unchanged: the checks decide after the handshake.
int noteFailedCertificate(int ok, X509_STORE_CTX* store) {
    auto* connection = static_cast<SSL*>(tls.X509_STORE_CTX_get_ex_data(store, tls.SSL_get_ex_data_X509_STORE_CTX_idx()));
    TlsSession* session = connection == nullptr ? nullptr : sessionOf(connection);
    X509* certificate = tls.X509_STORE_CTX_get_current_cert(store);
    if (ok || session == nullptr || session->failedDepth >= 0 || certificate == nullptr) return ok;
    int depth = tls.X509_STORE_CTX_get_error_depth(store);
    int top = tls.OPENSSL_sk_num(reinterpret_cast<const OPENSSL_STACK*>(tls.X509_STORE_CTX_get0_chain(store))) - 1;
    session->failedDepth = depth;
    session->failedPlace = depth == 0 ? tlsLeaf : depth == top ? tlsRoot : tlsIntermediate;
    formatName(tls.X509_get_subject_name(certificate), session->failedSubject, sizeof session->failedSubject);
    int early = tls.X509_STORE_CTX_get_error(store) == X509_V_ERR_CERT_NOT_YET_VALID;
    formatDay(early ? tls.X509_get0_notBefore(certificate) : tls.X509_get0_notAfter(certificate), session->failedDay,
              sizeof session->failedDay);
    return ok;
}

// Called when the server asks for a client certificate: notes it, and
// gives none.
int noteCertificateRequest(SSL* connection, X509**, EVP_PKEY**) {
    TlsSession* session = sessionOf(connection);
    if (session != nullptr) session->askedForCertificate = 1;
    return 0;
}

// Loads the library and makes the one context of the run. Returns 1, or 0
// with the problem.
int loadLibrary(BoundedString& problem) {
    if (tls.loaded == 0) {
        void* library = dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
        tls.loaded = library != nullptr && resolveFunctions(library) ? 1 : -1;
        if (tls.loaded == 1) {
            tls.context = tls.SSL_CTX_new(tls.TLS_client_method());
            if (tls.context == nullptr) tls.loaded = -1;
        }
        if (tls.loaded == 1) {
            tls.SSL_CTX_ctrl(tls.context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
            // The handshake goes on whatever the chain; the checks are made
            // after it, in a fixed order, so that the first failure is named.
            tls.SSL_CTX_set_verify(tls.context, SSL_VERIFY_NONE, noteFailedCertificate);
            tls.SSL_CTX_set_client_cert_cb(tls.context, noteCertificateRequest);
            loadTrustedAuthorities(tls.context);
        }
    }
    if (tls.loaded == 1) return 1;
    describeTlsUnavailable("libssl.so.3 (OpenSSL 3) could not be loaded", problem);
    return 0;
}

// Returns 1 when name is a dotted IPv4 or an IPv6 address, which SNI never carries.
int isAddress(const char* name) {
    return std::strspn(name, "0123456789.") == std::strlen(name) || std::strchr(name, ':') != nullptr;
}

// Adds the names the certificate is for: its DNS and IP entries, else its
// common name, shown as "CN=...".
void listCertificateNames(X509* certificate, CertificateNames& names) {
    auto* entries = static_cast<GENERAL_NAMES*>(tls.X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    int count = entries == nullptr ? 0 : tls.OPENSSL_sk_num(reinterpret_cast<OPENSSL_STACK*>(entries));
    for (int index = 0; index < count; ++index) {
        auto* entry = static_cast<GENERAL_NAME*>(tls.OPENSSL_sk_value(reinterpret_cast<OPENSSL_STACK*>(entries), index));
        if (entry->type == GEN_DNS) {
            addCertificateName(names, reinterpret_cast<const char*>(tls.ASN1_STRING_get0_data(entry->d.dNSName)),
                               tls.ASN1_STRING_length(entry->d.dNSName));
        }
        int length = entry->type == GEN_IPADD ? tls.ASN1_STRING_length(entry->d.iPAddress) : 0;
        char address[INET6_ADDRSTRLEN];
        if ((length == 4 || length == 16) &&
            inet_ntop(length == 4 ? AF_INET : AF_INET6, tls.ASN1_STRING_get0_data(entry->d.iPAddress), address,
                      sizeof address) != nullptr) {
            addCertificateName(names, address, static_cast<int>(std::strlen(address)));
        }
    }
    if (entries != nullptr) tls.GENERAL_NAMES_free(entries);
    char commonName[256];
    if (names.count > 0 || tls.X509_NAME_get_text_by_NID(tls.X509_get_subject_name(certificate), NID_commonName,
                                                         commonName, sizeof commonName) < 0) {
        return;
    }
    char shown[sizeof commonName + 3];
    formatText(shown, sizeof shown, "CN=%s", commonName);
    addCertificateName(names, shown, static_cast<int>(std::strlen(shown)));
}

// Returns 1 when the certificate is for the host, as a name or an address.
int certificateFitsHost(X509* certificate, const char* host) {
    if (isAddress(host)) return tls.X509_check_ip_asc(certificate, host, 0) == 1;
    return tls.X509_check_host(certificate, host, std::strlen(host), 0, nullptr) == 1;
}

// Checks the chain, then the dates, then the name. Returns 1 when all
// pass, 0 with the line of the first that failed.
int checkCertificate(const TlsSession& session, X509* certificate, const char* host, BoundedString& problem) {
    long verdict = tls.SSL_get_verify_result(session.connection);
    if (certificate == nullptr) {
        describeTlsRefusal(tlsNotTrusted, host, "", problem);
        return 0;
    }
    if (verdict == X509_V_ERR_CERT_HAS_EXPIRED || verdict == X509_V_ERR_CERT_NOT_YET_VALID) {
        TlsRefusal refusal = verdict == X509_V_ERR_CERT_HAS_EXPIRED ? tlsExpired : tlsNotYetValid;
        describeChainDateRefusal(refusal, static_cast<TlsChainPlace>(session.failedPlace), session.failedSubject, host,
                                 session.failedDay, problem);
        return 0;
    }
    if (verdict != X509_V_OK) {
        describeTlsRefusal(tlsNotTrusted, host, "", problem);
        return 0;
    }
    if (!certificateFitsHost(certificate, host)) {
        CertificateNames names;
        listCertificateNames(certificate, names);
        describeNameMismatch(names, host, problem);
        return 0;
    }
    return 1;
}

// Logs what the handshake agreed on and the certificate it showed.
void logHandshake(SSL* connection, X509* certificate, int checked) {
    char subject[256] = "(none)";
    char issuer[256] = "(none)";
    if (certificate != nullptr) {
        formatName(tls.X509_get_subject_name(certificate), subject, sizeof subject);
        formatName(tls.X509_get_issuer_name(certificate), issuer, sizeof issuer);
    }
    logTlsDetails(tls.SSL_get_version(connection), tls.SSL_CIPHER_get_name(tls.SSL_get_current_cipher(connection)),
                  subject, issuer, checked);
}

// What a failed call means for the caller.
enum CallOutcome { callAgain, callFailed, callClosed, callRefused, callWantsRead, callWantsWrite };

// Sorts a failed call without waiting. The last socket error is set for
// callFailed.
int sortFailureNow(SSL* connection, int returned) {
    int error = tls.SSL_get_error(connection, returned);
    if (error == SSL_ERROR_WANT_READ) return callWantsRead;
    if (error == SSL_ERROR_WANT_WRITE) return callWantsWrite;
    if (error == SSL_ERROR_ZERO_RETURN) return callClosed;
    if (error == SSL_ERROR_SYSCALL) {
        // errno says why; none at all means the peer closed without a word.
        if (tls.ERR_get_error() == 0 && errno == 0) {
            setLastSocketError(kDisconnectedCode);
        } else {
            recordSocketCallFailure();
        }
        return callFailed;
    }
    return callRefused;
}

// Waits when the call would block; sorts every other failure. The last
// socket error is set for callFailed.
int sortFailure(SSL* connection, int descriptor, int returned) {
    int outcome = sortFailureNow(connection, returned);
    if (outcome != callWantsRead && outcome != callWantsWrite) return outcome;
    if (waitForSocketReady(descriptor, outcome == callWantsWrite) != 0) return callFailed;
    return callAgain;
}

// Returns the refusal a handshake that the server ended with an alert
// (the library's reason given) stands for.
TlsRefusal refusalOf(const TlsSession& session, unsigned long reason) {
    if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG) return tlsNotTls;
    if (reason == SSL_R_EXCESSIVE_MESSAGE_SIZE) return tlsChainTooLarge;
    return session.askedForCertificate ? tlsClientCertificateRequired : tlsHandshakeRefused;
}

// Makes one handshake call. Returns tlsStarted, tlsInProgress (wantWrite
// set), tlsBroken or tlsRefused.
int shakeHandsOnce(TlsSession& session, int& wantWrite, BoundedString& problem) {
    tls.ERR_clear_error();
    errno = 0;
    int returned = tls.SSL_connect(session.connection);
    if (returned == 1) return tlsStarted;
    int outcome = sortFailureNow(session.connection, returned);
    if (outcome == callWantsRead || outcome == callWantsWrite) {
        wantWrite = outcome == callWantsWrite;
        return tlsInProgress;
    }
    unsigned long reason = outcome == callRefused ? ERR_GET_REASON(tls.ERR_get_error()) : 0;
    // A server that closes before it says anything is a broken
    // connection, not a refusal: asking again may work.
    if (outcome == callClosed || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        setLastSocketError(kDisconnectedCode);
        return tlsBroken;
    }
    if (outcome == callFailed) return tlsBroken;
    describeTlsRefusal(refusalOf(session, reason), session.hostName, "", problem);
    return tlsRefused;
}

// Checks and logs the certificate of an ended handshake. Returns
// tlsStarted, or tlsRefused with the problem.
int acceptHandshake(const TlsSession& session, const TlsPeer& peer, BoundedString& problem) {
    int outcome = tlsStarted;
    X509* certificate = tls.SSL_get1_peer_certificate(session.connection);
    int checked = !peer.acceptAnyCertificate;
    if (checked && !checkCertificate(session, certificate, session.hostName, problem)) outcome = tlsRefused;
    // As on Windows, only a connection that goes on shows its details.
    if (outcome == tlsStarted) logHandshake(session.connection, certificate, checked);
    if (certificate != nullptr) tls.X509_free(certificate);
    return outcome;
}

}  // namespace

int tlsAvailable(BoundedString& problem) { return loadLibrary(problem); }

int tlsBegin(SocketHandle socket, const TlsPeer& peer, TlsSession*& session, BoundedString& problem) {
    session = nullptr;
    if (!loadLibrary(problem)) return tlsUnavailable;
    int descriptor = static_cast<int>(socket);
    SSL* connection = tls.SSL_new(tls.context);
    TlsSession* made = static_cast<TlsSession*>(std::malloc(sizeof(TlsSession)));
    if (connection == nullptr || made == nullptr || tls.SSL_set_fd(connection, descriptor) != 1) {
        if (connection != nullptr) tls.SSL_free(connection);
        std::free(made);
        describeTlsUnavailable("no memory for the connection", problem);
        return tlsUnavailable;
    }
    std::memset(made, 0, sizeof *made);
    made->connection = connection;
    made->descriptor = descriptor;
    made->failedDepth = -1;
    formatText(made->hostName, sizeof made->hostName, "%s", peer.hostName);
    tls.SSL_set_ex_data(connection, kSessionSlot, made);
    if (!isAddress(made->hostName)) {
        tls.SSL_ctrl(connection, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, made->hostName);
    }
    session = made;
    return tlsStarted;
}

int tlsStep(TlsSession*& session, const TlsPeer& peer, int& wantWrite, BoundedString& problem) {
    wantWrite = 0;
    int outcome = shakeHandsOnce(*session, wantWrite, problem);
    if (outcome == tlsStarted) outcome = acceptHandshake(*session, peer, problem);
    if (outcome == tlsStarted || outcome == tlsInProgress) return outcome;
    tlsEnd(session);
    session = nullptr;
    return outcome;
}

int tlsSend(TlsSession* session, const char* bytes, int count) {
    int sent = 0;
    while (sent < count) {
        tls.ERR_clear_error();
        errno = 0;
        int returned = tls.SSL_write(session->connection, bytes + sent, count - sent);
        if (returned > 0) {
            sent += returned;
            continue;
        }
        int outcome = sortFailure(session->connection, session->descriptor, returned);
        if (outcome == callAgain) continue;
        if (outcome != callFailed) setLastSocketError(kDisconnectedCode);
        return -1;
    }
    return sent;
}

namespace {

// Takes decrypted bytes; waits for the socket only when mayWait is set,
// else answers kTlsWouldWait where a wait would begin.
int receiveDecrypted(TlsSession* session, char* block, int capacity, int mayWait) {
    // Records that have arrived are taken together, up to the capacity,
    // so that a large block goes out in one write; only the first waits.
    int taken = 0;
    for (;;) {
        tls.ERR_clear_error();
        errno = 0;
        int returned = tls.SSL_read(session->connection, block + taken, capacity - taken);
        if (returned > 0) {
            taken += returned;
            if (capacity - taken < kLargestRecord) return taken;
            continue;
        }
        // What follows, a wait or an ending, is for the next call.
        if (taken > 0) return taken;
        int outcome = mayWait ? sortFailure(session->connection, session->descriptor, returned)
                              : sortFailureNow(session->connection, returned);
        if (outcome == callWantsRead || outcome == callWantsWrite) return kTlsWouldWait;
        if (outcome == callAgain) continue;
        if (outcome == callClosed) return 0;
        // A record that does not decrypt, or an end without close_notify,
        // cannot be told from a cut.
        if (outcome == callRefused) setLastSocketError(kDisconnectedCode);
        return -1;
    }
}

}  // namespace

int tlsReceive(TlsSession* session, char* block, int capacity) {
    return receiveDecrypted(session, block, capacity, 1);
}

int tlsReceiveNow(TlsSession* session, char* block, int capacity) {
    return receiveDecrypted(session, block, capacity, 0);
}

// OpenSSL also holds the start of a record whose rest has not arrived;
// the socket turns readable for that rest, and a receive now would wait
// for it. A look that never waits (the socket is non-blocking underneath)
// tells the two apart; an ending or a failure it meets counts, so that
// the next receive reports it.
int tlsHasBufferedBytes(TlsSession* session) {
    SSL* connection = session->connection;
    if (tls.SSL_pending(connection) > 0) return 1;
    if (!tls.SSL_has_pending(connection)) return 0;
    tls.ERR_clear_error();
    char probe;
    int returned = tls.SSL_peek(connection, &probe, 1);
    if (returned > 0) return 1;
    int error = tls.SSL_get_error(connection, returned);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : 1;
}

// A server that asked for a client certificate and ended the connection
// with an alert after the handshake (as TLS 1.3 servers do) refused it for
// want of one. A send may have failed on the connection it then closed
// before the alert was read: a look that never waits (the socket is
// non-blocking underneath) reads an alert that is there.
int tlsRefusal(TlsSession* session, BoundedString& problem) {
    if (!session->askedForCertificate) return 0;
    if (!(tls.SSL_get_shutdown(session->connection) & SSL_RECEIVED_SHUTDOWN)) {
        tls.ERR_clear_error();
        char probe;
        tls.SSL_peek(session->connection, &probe, 1);
        tls.ERR_clear_error();
    }
    if (!(tls.SSL_get_shutdown(session->connection) & SSL_RECEIVED_SHUTDOWN)) return 0;
    describeTlsRefusal(tlsClientCertificateRequired, session->hostName, "", problem);
    return 1;
}

void tlsEnd(TlsSession* session) {
    if (session == nullptr) return;
    tls.SSL_free(session->connection);
    std::free(session);
}

#endif
