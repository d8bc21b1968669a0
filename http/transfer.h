// One transfer attempt: connect, send one HTTP/1.0 request, read the reply
// until its body is complete, store the body in the output file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "support/bounded_string.h"

// Byte counts and offsets past this are no file's; sums of two never overflow.
const std::int64_t kLargestByteCount = std::int64_t(1) << 60;

// Room for a validator: a header value is never kept longer than this.
const int kValidatorCapacity = 1000;

// What the output file holds, as the reply that began its bytes described
// them. The attempt keeps it true whenever it changes the file.
struct StoredBytes {
    std::int64_t count = 0;         // bytes in the file
    std::int64_t firstByte = 0;     // where they begin in the server's file
    std::int64_t lastByte = -1;     // the last byte wanted; -1: to the end of the file
    std::int64_t totalLength = -1;  // the server's file length; -1: unknown
    char validator[kValidatorCapacity] = {};  // ETag, else Last-Modified; "": none
    int validatorIsTag = 0;
    int ownBytes = 0;  // 1: bytes of the server's file; 0: none yet, or an error page
};

// How the attempt may treat the bytes the file already holds.
enum AttemptKind {
    attemptFresh = 0,  // the file holds nothing of this run: any reply is stored
    attemptResume,     // the range continues the stored bytes
    attemptRestart,    // the whole request again: only a reply of the file replaces them
};

// The ports a Host line leaves unnamed, by scheme.
const int kDefaultHttpPort = 80;
const int kDefaultHttpsPort = 443;

// An address to ask: scheme, Host line, path, and where to connect.
struct TargetAddress {
    int secure = 0;
    BoundedString host;
    int port = kDefaultHttpPort;
    BoundedString path;
    AddressList addresses;  // where to connect: the server's or its proxy's
    int viaProxy = 0;
};

// A web proxy that requests go through.
struct ProxySettings {
    int inUse = 0;              // 0: none is named
    BoundedString host;         // as given, an IPv6 address in brackets
    int port = 1080;
    BoundedString credentials;  // "user:password" in base64; "": none
    AddressList addresses;
    int lookedUp = 0;           // addresses holds the proxy's
};

struct TlsSession;
struct PartsState;
struct Sha256Hash;

// A reply whose body the attempt leaves to the loop that fetches the file
// over several connections: the attempt hands it over when the reply can
// be split (a known total, ranges taken, an output written at offsets).
struct PartsHandOver {
    int connections = 1;      // -s: connections the run may use at once
    PartsState* plan = nullptr;  // a continued file's stored ranges, while they count: any fitting 206 goes over
    int takenOver = 0;        // set by the attempt: the connection below is open, its body unread
    int reasonShown = 0;      // the line that says why the run stays on one connection was written
    SocketHandle socket = kInvalidSocket;
    TlsSession* tls = nullptr;
    int addressIndex = 0;     // the request's address the reply came from
    int wholeFile = 0;        // the reply is a 200: its body is the whole file
    int pendingCount = 0;
    std::int64_t bodyEnd = 0;      // one past the last byte the reply's body holds
    BoundedString stateFile;       // "<file>.webhaul"; "": the run keeps none
    BoundedString address;         // the address the command line named, for the state file
    BoundedString stateProblem;    // why the run keeps no state file, when it was given up
    // Last, so that a run on one connection never touches its pages.
    char pending[16384];           // body bytes that came with the header section
};

struct TransferRequest {
    int headersOnly = 0;  // non-zero: HEAD instead of GET
    AddressList addresses;         // the server's, tried in order
    BoundedString host;            // the server's name as given, for the Host line
    int port = kDefaultHttpPort;   // the server's port, for the Host line
    int secure = 0;                // https: TLS over the connection
    int acceptAnyCertificate = 0;  // -k: no check of the server's certificate
    BoundedString path;
    std::FILE* output = nullptr;
    std::int64_t rangeFirst = -1;  // -1: no Range header
    std::int64_t rangeLast = -1;   // -1: open-ended range
    std::int64_t askedFirst = -1;  // the range the command line asked for,
    std::int64_t askedLast = -1;   // which a restart asks for again
    int failOnError = 0;           // an error status stores nothing and fails
    int kind = attemptFresh;       // an AttemptKind
    StoredBytes stored;
    TargetAddress origin;          // the user's address, where a chain of redirects starts
    int redirected = 0;            // the address is one that redirects led to
    int fromOrigin = 0;            // the next attempt starts at the user's address
    int keepsFile = 0;             // -c: every attempt starts at the user's address
    int chainShown = 0;            // the first chain has ended: later redirects show at level 5
    int refuseClientErrors = 0;    // a 4xx fails the attempt and sends the next to the origin
    ProxySettings httpProxy;       // for http:// addresses
    ProxySettings httpsProxy;      // for https:// addresses
    BoundedString proxyExceptions; // hosts reached without a proxy, comma-separated
    int viaProxy = 0;              // the address is reached through the proxy of its scheme
    PartsHandOver* handOver = nullptr;  // null: the run stays on one connection
    BoundedString login;           // Basic credentials for the origin's scheme, host and port; "": none
    Sha256Hash* writtenHash = nullptr;  // -d into an output that cannot be read back: fed as written
};

// Returns the proxy for the request's scheme.
inline const ProxySettings& proxyOf(const TransferRequest& request) {
    return request.secure ? request.httpsProxy : request.httpProxy;
}

enum FailureStage {
    stageCompleted = 0,
    stageSocket = 1,
    stageConnect = 2,
    stageSend = 3,
    stageReceive = 4,
    // The output file refused bytes; the run ends without retrying.
    stageWriteFile = 5,
    // The server refused the request with an error status that asking
    // again will not change; the run ends without retrying.
    stageServerRefused = 6,
    // TLS was refused: the certificate failed a check, or the server
    // refused the handshake or spoke no TLS; the run ends without retrying.
    stageTlsRefused = 7,
    // A redirect that is not followed; the run ends without retrying.
    stageRedirectRefused = 8,
    // With -f, an error status that asking again may change (408, 429,
    // 500, 502, 503, 504): retried like a broken attempt, and a run that
    // gives up on it ends as refused.
    stageServerBusy = 9,
};

// Returns 1 for a failure stage that ends the run whatever the retries
// say: the output refused bytes, the server or TLS refused for good, or a
// redirect is not followed.
inline int stageEndsRun(int stage) {
    return stage == stageWriteFile || stage == stageServerRefused || stage == stageTlsRefused ||
           stage == stageRedirectRefused;
}

struct TransferResult {
    int stage = stageCompleted;     // a FailureStage
    BoundedString errorText;        // note of the most recent failed attempt
    int replyStatus = -1;
    int rangeResolution = 0;        // Accept-Ranges: its number, 1 for "bytes"
    std::int64_t headerBytes = 0;
    std::int64_t bodyBytes = 0;     // body bytes the file accepted
    std::int64_t contentLength = -1;
    std::int64_t rangeStart = -1;   // Content-Range: where the body begins; -1: none
    std::int64_t rangeEnd = -1;     // Content-Range: the body's last byte
    std::int64_t rangeTotal = -1;   // Content-Range: the file's length; -1: unknown
    char validator[kValidatorCapacity] = {};  // ETag, else Last-Modified
    int validatorIsTag = 0;         // the validator came from an ETag
    int chunked = 0;                // Transfer-Encoding: chunked
    int replyRefused = 0;           // the reply did not fit the stored bytes; nothing stored
    int redirect = 0;               // a redirect with a Location: its body was not read
    BoundedString location;         // the Location header's value
    int locationTooLong = 0;        // the Location did not fit the string cap
    int backToOrigin = 0;           // the next attempt starts at the user's address
    int offersBasic = 0;            // a WWW-Authenticate line offers Basic
    char askedScheme[40] = {};      // the first scheme WWW-Authenticate asks for, cut; "": none
};

// Makes one attempt and closes its socket. Returns 1 when the reply came
// complete (stage 0), 0 on failure (stage and errorText set).
int fetchOnce(TransferRequest& request, TransferResult& result);

// Returns 1 when asking again may bring the file: the server timed out,
// was busy or had a passing failure.
int isPassingFailure(int status);

struct Connection;

// Readies the result for a new attempt.
void resetResult(TransferResult& result);

// Sends the request on the connection, logging it. Returns 1 when it went
// out, 0 with the send note otherwise.
int sendRequest(Connection& connection, const TransferRequest& request, TransferResult& result);

// Opens the attempt's connection and sends the request: the start of
// fetchOnce. Returns 1, or 0 with the stage and note; the connection, when
// one was opened, is left for closeConnection.
int startAttempt(Connection& connection, TransferRequest& request, TransferResult& result);

// Reads the reply from a connection: the part of fetchOnce after the
// request was sent. Returns as fetchOnce does.
int receiveReplyOn(Connection& connection, TransferRequest& request, TransferResult& result);

// As receiveReplyOn, from a plain socket.
int receiveReply(SocketHandle socket, TransferRequest& request, TransferResult& result);
