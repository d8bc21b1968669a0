// TLS on Windows: the system's own, SChannel through SSPI, over the socket
// layer's Winsock 1.1 socket. secur32.dll and crypt32.dll are loaded on the
// first https connection, so that a plain run imports neither.
//
// SChannel is told to check nothing (manual validation): the program
// checks the certificate itself, in schannel_certificates.cpp.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define SECURITY_WIN32
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/schannel_certificates.h"
#include "platform/tls.h"
#include "platform/tls_texts.h"
#include "platform/windows_library.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

// The largest TLS record: header, 16 KiB of data and the most a cipher may
// add. The handshake and every decrypt work on whole records.
const int kLargestPlainRecord = 16384;
const int kRecordCapacity = 5 + kLargestPlainRecord + 2048;
// The content type of a TLS record that holds an alert (TLS 1.2 shows it).
const char kAlertRecord = 21;
const ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                              ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

PSecurityFunctionTableA sspi = nullptr;
// One set of client credentials for the run: SChannel keeps the sessions
// it may resume with them, so a retry can skip the full handshake.
CredHandle clientCredentials;
// 0: not tried yet, 1: loaded, -1: failed (for good: the system will not
// grow the libraries during the run).
int librariesState = 0;
const char* librariesProblem = "";

}  // namespace

struct TlsSession {
    SocketHandle socket;
    CtxtHandle context;
    SecPkgContext_StreamSizes sizes;
    // inbound holds inboundLength bytes: first, from plainAt, plainLength
    // decrypted bytes not handed out yet; from pendingAt, ciphertext not
    // decrypted yet.
    int inboundLength;
    int plainAt;
    int plainLength;
    int pendingAt;
    int serverEnded;     // close_notify came
    int askedForCertificate;  // the server asked for a client certificate
    int recordsTaken;    // the handshake took a first record from the server
    int handshakeBegun;  // the first handshake call was made: a step goes on by receiving
    char inbound[kRecordCapacity];
    char outbound[kRecordCapacity];
};

namespace {

// Asks SChannel for client credentials: TLS 1.2, no client certificate,
// no check of the server's by SChannel itself. Returns 1 on success.
int acquireCredentials() {
    SCHANNEL_CRED settings;
    std::memset(&settings, 0, sizeof settings);
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    char package[] = UNISP_NAME_A;
    TimeStamp expiry;
    return sspi->AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings, nullptr,
                                           nullptr, &clientCredentials, &expiry) == SEC_E_OK;
}

// Loads secur32.dll and crypt32.dll and gets the client credentials on
// the first call. Returns 1 when TLS is usable, else 0 with problem set.
int loadLibraries(BoundedString& problem) {
    if (librariesState == 0) {
        librariesState = -1;
        INIT_SECURITY_INTERFACE_A initialise = nullptr;
        if (!resolve(LoadLibraryA("secur32.dll"), "InitSecurityInterfaceA", initialise) ||
            (sspi = initialise()) == nullptr) {
            librariesProblem = "secur32.dll cannot be loaded";
        } else if (!loadCertificateCalls(LoadLibraryA("crypt32.dll"))) {
            librariesProblem = "crypt32.dll cannot be loaded";
        } else if (!acquireCredentials()) {
            librariesProblem = "SChannel gives no client credentials";
        } else {
            librariesState = 1;
        }
    }
    if (librariesState < 0) describeTlsUnavailable(librariesProblem, problem);
    return librariesState > 0;
}


// Returns 1 when the bytes held could start a server's first TLS record
// (a handshake or an alert of version 3.x).
int looksLikeTls(const TlsSession& session) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(session.inbound);
    if (session.inboundLength >= 1 && bytes[0] != 22 && bytes[0] != 21) return 0;
    return session.inboundLength < 2 || bytes[1] == 3;
}

// What one step of the handshake asks for next.
enum HandshakeStep { stepDone, stepNeedsBytes, stepAgain, stepBroken, stepRefused, stepNotTls, stepWaits };

// Sends what SChannel produced and frees it. Returns 1 when all of it went.
int sendToken(TlsSession& session, SecBuffer& token) {
    if (token.pvBuffer == nullptr) return 1;
    int count = static_cast<int>(token.cbBuffer);
    int sent = count == 0 ? 0 : sendBytes(session.socket, static_cast<const char*>(token.pvBuffer), count);
    sspi->FreeContextBuffer(token.pvBuffer);
    return sent == count;
}

// Keeps only the bytes SChannel left unread (extra) of the inbound bytes.
void keepUnread(TlsSession& session, const SecBuffer& extra) {
    int unread = extra.BufferType == SECBUFFER_EXTRA ? static_cast<int>(extra.cbBuffer) : 0;
    std::memmove(session.inbound, session.inbound + session.inboundLength - unread, static_cast<size_t>(unread));
    session.inboundLength = unread;
    session.recordsTaken = 1;
}

// Runs one call of the handshake on the bytes held (none on the first call)
// and sends what it produced.
HandshakeStep stepHandshake(TlsSession& session, SEC_CHAR* target, int first) {
    SecBuffer input[2] = {{static_cast<ULONG>(session.inboundLength), SECBUFFER_TOKEN, session.inbound},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc inputs = {SECBUFFER_VERSION, 2, input};
    SecBufferDesc outputs = {SECBUFFER_VERSION, 1, output};
    ULONG attributes = 0;
    SECURITY_STATUS status = sspi->InitializeSecurityContextA(
        &clientCredentials, first ? nullptr : &session.context, target, kContextRequest, 0, 0,
        first ? nullptr : &inputs, 0, &session.context, &outputs, &attributes, nullptr);
    int sent = sendToken(session, output[0]);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return stepNeedsBytes;
    // The next call goes on without one, as the server may allow.
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) session.askedForCertificate = 1;
    if (!first) keepUnread(session, input[1]);
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_I_INCOMPLETE_CREDENTIALS) {
        return stepRefused;
    }
    if (!sent) return stepBroken;
    if (status == SEC_E_OK) return stepDone;
    return status == SEC_I_CONTINUE_NEEDED && session.inboundLength == 0 ? stepNeedsBytes : stepAgain;
}

// Looks whether the socket has bytes (or an ending) to receive, without
// waiting. Returns 1 when it has, 0 when not, -1 on failure.
int lookAtSocket(TlsSession& session) {
    int readable = 0;
    return waitForReadableSockets(&session.socket, nullptr, 1, &readable, 0);
}

// Appends what the server sent next to the bytes held, when it sent any:
// a look at the socket first keeps the receive from waiting. Returns
// stepAgain, stepWaits (nothing arrived yet), stepBroken (last socket
// error set) or stepNotTls.
HandshakeStep receiveHandshakeBytes(TlsSession& session) {
    if (session.inboundLength == kRecordCapacity) return stepNotTls;
    int looked = lookAtSocket(session);
    if (looked < 0) return stepBroken;
    if (looked == 0) return stepWaits;
    int received = receiveBytes(session.socket, session.inbound + session.inboundLength,
                                kRecordCapacity - session.inboundLength);
    if (received == 0) setLastSocketError(kSocketErrorDisconnected);
    if (received <= 0) return stepBroken;
    session.inboundLength += received;
    return session.recordsTaken || looksLikeTls(session) ? stepAgain : stepNotTls;
}

// Takes the handshake as far as it goes without waiting for the server.
// Returns tlsInProgress when it waits for bytes, else a TlsStartOutcome.
int runHandshake(TlsSession& session, const TlsPeer& peer, BoundedString& problem) {
    char target[256];
    std::snprintf(target, sizeof target, "%s", peer.hostName);
    SEC_CHAR* serverName = isAddress(peer.hostName) ? nullptr : target;
    HandshakeStep step = session.handshakeBegun ? stepNeedsBytes : stepHandshake(session, serverName, 1);
    session.handshakeBegun = 1;
    while (step != stepDone) {
        if (step == stepNeedsBytes) step = receiveHandshakeBytes(session);
        if (step == stepWaits) return tlsInProgress;
        if (step == stepBroken) return tlsBroken;
        if (step == stepRefused || step == stepNotTls) break;
        step = stepHandshake(session, serverName, 0);
    }
    if (step == stepDone) return tlsStarted;
    TlsRefusal refusal = session.askedForCertificate ? tlsClientCertificateRequired : tlsHandshakeRefused;
    describeTlsRefusal(step == stepNotTls ? tlsNotTls : refusal, peer.hostName, "", problem);
    return tlsRefused;
}

// Returns the name of the TLS version SChannel agreed on.
const char* versionName(DWORD protocol) {
    if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
    if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
    if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
    return "TLSv1.0";
}

// Returns a short name for a key exchange, cipher or hash algorithm.
const char* algorithmName(ALG_ID algorithm) {
    switch (algorithm) {
        case CALG_ECDH_EPHEM: return "ECDHE";
        case CALG_ECDH: return "ECDH";
        case CALG_DH_EPHEM: return "DHE";
        case CALG_RSA_KEYX: return "RSA";
        case CALG_AES_128: return "AES-128";
        case CALG_AES_256: return "AES-256";
        case CALG_3DES: return "3DES";
        case CALG_SHA1: return "SHA1";
        case CALG_SHA_256: return "SHA256";
        case CALG_SHA_384: return "SHA384";
        default: return "?";
    }
}

// Writes the cipher suite's name as the system gives it, else the names
// of its algorithms (Wine calls the hash of an AEAD suite "<unknown>").
void describeCipher(TlsSession& session, const SecPkgContext_ConnectionInfo& connection, char* name,
                    size_t capacity) {
    SecPkgContext_CipherInfo suite;
    std::memset(&suite, 0, sizeof suite);
    suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (sspi->QueryContextAttributesA(&session.context, SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK &&
        suite.szCipherSuite[0] != 0 && std::wcschr(suite.szCipherSuite, L'<') == nullptr) {
        std::snprintf(name, capacity, "%ls", suite.szCipherSuite);
        return;
    }
    std::snprintf(name, capacity, "%s %s %s", algorithmName(connection.aiExch), algorithmName(connection.aiCipher),
                  algorithmName(connection.aiHash));
}

// Logs at level 9 what the handshake agreed on and whom it reached.
void logSession(TlsSession& session, PCCERT_CONTEXT certificate, int checked) {
    if (verbosity < 9) return;
    SecPkgContext_ConnectionInfo connection;
    std::memset(&connection, 0, sizeof connection);
    sspi->QueryContextAttributesA(&session.context, SECPKG_ATTR_CONNECTION_INFO, &connection);
    char cipher[64];
    describeCipher(session, connection, cipher, sizeof cipher);
    char subject[512] = "";
    char issuer[512] = "";
    certificateNames(certificate, subject, sizeof subject, issuer, sizeof issuer);
    logTlsDetails(versionName(connection.dwProtocol), cipher, subject, issuer, checked);
}

// Checks the server's certificate unless the peer accepts any, and logs
// the session. Returns a TlsStartOutcome.
int checkServer(TlsSession& session, const TlsPeer& peer, BoundedString& problem) {
    PCCERT_CONTEXT certificate = nullptr;
    if (sspi->QueryContextAttributesA(&session.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        certificate == nullptr) {
        describeTlsRefusal(peer.acceptAnyCertificate ? tlsHandshakeRefused : tlsNotTrusted, peer.hostName, "",
                           problem);
        return tlsRefused;
    }
    int outcome = peer.acceptAnyCertificate ? tlsStarted : checkCertificate(certificate, peer.hostName, problem);
    if (outcome == tlsStarted) logSession(session, certificate, !peer.acceptAnyCertificate);
    freeCertificate(certificate);
    return outcome;
}

// Returns a zeroed session for the socket, or null when there is no memory.
TlsSession* newSession(SocketHandle socket) {
    TlsSession* session = static_cast<TlsSession*>(std::calloc(1, sizeof(TlsSession)));
    if (session == nullptr) return nullptr;
    session->socket = socket;
    SecInvalidateHandle(&session->context);
    return session;
}

// Returns 1 when the bytes held from pendingAt start with a whole record.
int holdsWholeRecord(const TlsSession& session) {
    int held = session.inboundLength - session.pendingAt;
    if (held < 5) return 0;
    const unsigned char* header = reinterpret_cast<const unsigned char*>(session.inbound + session.pendingAt);
    return held >= 5 + (header[3] << 8 | header[4]);
}

// Moves the ciphertext not decrypted yet to the front of inbound.
void compactInbound(TlsSession& session) {
    int pending = session.inboundLength - session.pendingAt;
    std::memmove(session.inbound, session.inbound + session.pendingAt, static_cast<size_t>(pending));
    session.inboundLength = pending;
    session.pendingAt = 0;
}

// Decrypts the whole record held at the front of inbound. Returns 1 with
// its bytes (perhaps none) set as the plain bytes, 0 at close_notify, -1
// on failure.
int decryptRecord(TlsSession& session) {
    SecBuffer buffers[4] = {{static_cast<ULONG>(session.inboundLength), SECBUFFER_DATA, session.inbound},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
    int isAlert = session.inbound[0] == kAlertRecord;
    SECURITY_STATUS status = sspi->DecryptMessage(&session.context, &message, 0, nullptr);
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED) {
        // A record that does not decrypt (or a renegotiation, not taken
        // part in) cannot be told from a cut.
        setLastSocketError(kSocketErrorDisconnected);
        return -1;
    }
    session.pendingAt = session.inboundLength;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && status == SEC_E_OK) {
            session.plainAt = static_cast<int>(static_cast<char*>(buffer.pvBuffer) - session.inbound);
            session.plainLength = static_cast<int>(buffer.cbBuffer);
        }
        if (buffer.BufferType == SECBUFFER_EXTRA) session.pendingAt -= static_cast<int>(buffer.cbBuffer);
    }
    // Wine answers close_notify with an empty success rather than
    // SEC_I_CONTEXT_EXPIRED; any other alert fails there.
    session.serverEnded = status == SEC_I_CONTEXT_EXPIRED || (isAlert && session.plainLength == 0);
    return session.serverEnded ? 0 : 1;
}

// Gets the next decrypted bytes, receiving as much as a record needs,
// waiting for the socket only when mayWait is set. Returns 1 when plain
// bytes are held, 0 at close_notify, -1 on failure, kTlsWouldWait when
// it may not wait and the socket has nothing yet.
int decryptNext(TlsSession& session, int mayWait) {
    compactInbound(session);
    while (session.plainLength == 0) {
        if (session.serverEnded) return 0;
        if (holdsWholeRecord(session)) {
            int decrypted = decryptRecord(session);
            if (decrypted <= 0) return decrypted;
            if (session.plainLength == 0) compactInbound(session);
            continue;
        }
        int room = kRecordCapacity - session.inboundLength;
        if (room == 0) {  // a record longer than TLS allows
            setLastSocketError(kSocketErrorDisconnected);
            return -1;
        }
        int looked = mayWait ? 1 : lookAtSocket(session);
        if (looked <= 0) return looked < 0 ? -1 : kTlsWouldWait;
        int received = receiveBytes(session.socket, session.inbound + session.inboundLength, room);
        if (received == 0) setLastSocketError(kSocketErrorDisconnected);
        if (received <= 0) return -1;
        session.inboundLength += received;
    }
    return 1;
}

// Copies up to capacity of the plain bytes held into block. Returns the count.
int takePlainBytes(TlsSession& session, char* block, int capacity) {
    int count = session.plainLength < capacity ? session.plainLength : capacity;
    std::memcpy(block, session.inbound + session.plainAt, static_cast<size_t>(count));
    session.plainAt += count;
    session.plainLength -= count;
    return count;
}

}  // namespace

int tlsAvailable(BoundedString& problem) { return loadLibraries(problem); }

int tlsBegin(SocketHandle socket, const TlsPeer&, TlsSession*& session, BoundedString& problem) {
    session = nullptr;
    if (!loadLibraries(problem)) return tlsUnavailable;
    session = newSession(socket);
    if (session != nullptr) return tlsStarted;
    describeTlsUnavailable("no memory for the connection", problem);
    return tlsUnavailable;
}

int tlsStep(TlsSession*& session, const TlsPeer& peer, int& wantWrite, BoundedString& problem) {
    // A token to send is small and goes out at once: only the server's
    // answer is waited for.
    wantWrite = 0;
    int outcome = runHandshake(*session, peer, problem);
    if (outcome == tlsInProgress) return outcome;
    if (outcome == tlsStarted) outcome = checkServer(*session, peer, problem);
    if (outcome == tlsStarted &&
        sspi->QueryContextAttributesA(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes) != SEC_E_OK) {
        describeTlsRefusal(tlsHandshakeRefused, peer.hostName, "", problem);
        outcome = tlsRefused;
    }
    if (outcome == tlsStarted) {
        session->pendingAt = 0;
        return outcome;
    }
    tlsEnd(session);
    session = nullptr;
    return outcome;
}

int tlsSend(TlsSession* session, const char* bytes, int count) {
    const SecPkgContext_StreamSizes& sizes = session->sizes;
    int pieceCapacity = kRecordCapacity - static_cast<int>(sizes.cbHeader + sizes.cbTrailer);
    int largestMessage = static_cast<int>(sizes.cbMaximumMessage);
    if (largestMessage < pieceCapacity) pieceCapacity = largestMessage;
    for (int sent = 0; sent < count;) {
        int piece = count - sent < pieceCapacity ? count - sent : pieceCapacity;
        char* header = session->outbound;
        char* data = header + sizes.cbHeader;
        std::memcpy(data, bytes + sent, static_cast<size_t>(piece));
        SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, header},
                                {static_cast<ULONG>(piece), SECBUFFER_DATA, data},
                                {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, data + piece},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
        if (sspi->EncryptMessage(&session->context, 0, &message, 0) != SEC_E_OK) {
            setLastSocketError(kSocketErrorDisconnected);
            return -1;
        }
        int length = static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        if (sendBytes(session->socket, header, length) != length) return -1;
        sent += piece;
    }
    return count;
}

namespace {

// Takes decrypted bytes; waits for the socket only when mayWait is set.
int receiveDecrypted(TlsSession& session, char* block, int capacity, int mayWait) {
    if (session.plainLength == 0) {
        int held = decryptNext(session, mayWait);
        if (held <= 0) return held;
    }
    // Records that have arrived are taken together, up to the capacity, so
    // that a large block goes out in one write; only the first waits.
    int taken = takePlainBytes(session, block, capacity);
    while (capacity - taken >= kLargestPlainRecord && session.serverEnded == 0 && holdsWholeRecord(session)) {
        if (decryptNext(session, 0) <= 0) break;  // the ending is for the next call
        taken += takePlainBytes(session, block + taken, capacity - taken);
    }
    return taken;
}

}  // namespace

int tlsReceive(TlsSession* session, char* block, int capacity) {
    return receiveDecrypted(*session, block, capacity, 1);
}

int tlsReceiveNow(TlsSession* session, char* block, int capacity) {
    return receiveDecrypted(*session, block, capacity, 0);
}

// A close_notify decrypted ahead of its call counts: the next receive
// reports the end. A record not yet whole waits for the socket anyway.
int tlsHasBufferedBytes(TlsSession* session) {
    return session->plainLength > 0 || session->serverEnded || holdsWholeRecord(*session) ? 1 : 0;
}

// SChannel speaks TLS 1.2 here, where a server refuses a connection
// without a client certificate inside the handshake.
int tlsRefusal(TlsSession*, BoundedString&) { return 0; }

void tlsEnd(TlsSession* session) {
    if (session == nullptr) return;
    if (SecIsValidHandle(&session->context)) sspi->DeleteSecurityContext(&session->context);
    std::free(session);
}
