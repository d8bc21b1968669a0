#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "http/authorization.h"
#include "http/chunked_body.h"
#include "http/connection.h"
#include "http/hand_over.h"
#include "http/output_place.h"
#include "http/progress_line.h"
#include "http/reply_headers.h"
#include "http/stored_bytes.h"
#include "http/transfer.h"
#include "http/tunnel.h"
#include "platform/sha256.h"
#include "support/format_text.h"
#include "support/log.h"
#include "support/shown_text.h"
#include "support/socket_errors.h"

namespace {

// At most this much is read at once, so a terminating zero always fits.
const int kReceiveCapacity = 16383;
// Room for the longest request: a path and a host name (twice through a
// proxy) each at the string cap, a port, the proxy's and the server's
// credentials, a range line with two 64-bit numbers and the line ends.
const int kRequestCapacity = 3 * kBoundedStringCap + 4096;
// The most one direct socket-to-file move carries; the receive block's cap
// does not apply there. 1 MiB is the largest pipe the kernel gives a user
// unless told otherwise (the platform takes less where it is refused).
// Measured with 1 GiB from nginx on loopback against 256 KiB, once a block
// no longer cost an fstat and two lseeks: about a third less processor
// time to /dev/null, and no slower to disk.
const int kDirectBlockCapacity = 1024 * 1024;
// Decrypted body bytes are taken in pieces this large, so that a piece
// goes to the file in one write past the stream's buffer instead of being
// copied into it. Static: only an https run ever touches it.
const int kTlsBlockCapacity = 256 * 1024;
char tlsBlock[kTlsBlockCapacity + 1];


// Notes a failure of the output file as "<call>: <system's reason>\n". Returns 0.
int failFileCall(TransferResult& result, const char* call, int errorNumber) {
    assignFormat(result.errorText, "%s: %s\n", call, std::strerror(errorNumber));
    result.stage = stageWriteFile;
    return 0;
}

// Writes the Host line at line and logs it under the request line.
// Returns its length.
int composeHostLine(const TransferRequest& request, char* line, int room) {
    int length = 0;
    if (request.port == (request.secure ? kDefaultHttpsPort : kDefaultHttpPort)) {
        length = formatText(line, static_cast<size_t>(room), "Host: %s\r\n", textOf(request.host));
    } else {
        length = formatText(line, static_cast<size_t>(room), "Host: %s:%d\r\n", textOf(request.host), request.port);
    }
    logAt(9, "                 %s", line);
    return length;
}

// Writes the Range line at line and logs it under the request line.
// Returns its length.
int composeRangeLine(const TransferRequest& request, char* line, int room) {
    int length = 0;
    if (request.rangeLast == -1) {
        length = formatText(line, static_cast<size_t>(room), "Range: bytes=%" PRId64 "-\r\n", request.rangeFirst);
    } else {
        length = formatText(line, static_cast<size_t>(room), "Range: bytes=%" PRId64 "-%" PRId64 "\r\n",
                            request.rangeFirst, request.rangeLast);
    }
    logAt(9, "                 %s", line);
    return length;
}

// Logs the request line at level 9 as the trace shows it: the path as
// given may hold bytes of 0x80 and above, shown escaped; the line end kept.
void traceRequestLine(const char* line, int length) {
    if (verbosity < 9) return;
    BoundedString shown;
    appendEscaped(shown, line, length - 2);
    logAt(9, "Sending request: %s\r\n", textOf(shown));
}

// Writes the request into text, logging it. Returns its length.
int composeRequest(const TransferRequest& request, char* text, int capacity) {
    const char* method = request.headersOnly ? "HEAD " : "GET ";
    int length = 0;
    int proxied = request.viaProxy && !request.secure;
    if (!proxied) {
        length = formatText(text, static_cast<size_t>(capacity), "%s%s HTTP/1.0\r\n", method, textOf(request.path));
    } else if (request.port == kDefaultHttpPort) {
        length = formatText(text, static_cast<size_t>(capacity), "%shttp://%s%s HTTP/1.0\r\n", method,
                            textOf(request.host), textOf(request.path));
    } else {
        length = formatText(text, static_cast<size_t>(capacity), "%shttp://%s:%d%s HTTP/1.0\r\n", method,
                            textOf(request.host), request.port, textOf(request.path));
    }
    traceRequestLine(text, length);
    length += composeHostLine(request, text + length, capacity - length);
    length += composeAuthorization(request, text + length, capacity - length);
    if (proxied) length += composeProxyAuthorization(request, text + length, capacity - length);
    if (request.rangeFirst != -1) length += composeRangeLine(request, text + length, capacity - length);
    length += formatText(text + length, static_cast<size_t>(capacity - length), "\r\n");
    return length;
}


// How the body of one reply is taken: where it ends, what of it the output
// already holds, and how it is framed.
struct BodyReader {
    std::int64_t received = 0;  // body bytes of the reply so far, framing aside
    std::int64_t limit = -1;    // the body's length; -1: until the server closes
    std::int64_t skip = 0;      // leading body bytes the output holds already
    int chunked = 0;
    ChunkDecoder chunks;
    int complete = 0;           // the body ended where the reply said it would
    int use = useAppend;        // what the reply may do to the stored bytes
    int placePending = 0;       // the output is readied when the body's first byte comes
    int placed = 0;             // the output was readied: the body's bytes count as stored
    int toParts = 0;            // the body goes to the loop of several connections
    ProgressLine progress;
    std::int64_t progressLength = -1;
};

// Counts body bytes that reached the file, then shows progress.
void countStored(TransferResult& result, BodyReader& body, std::int64_t taken, std::int64_t written) {
    body.received += taken;
    result.bodyBytes += written;
    if (body.limit >= 0 && body.received >= body.limit) body.complete = 1;
    showProgress(body.progress, body.received, body.progressLength);
}

// Readies the output for the body, once, when it first has bytes to store
// or came whole without any: until then a reply that breaks leaves the
// file as it was. Returns 1, or 0 with the failed call's note.
int placeBody(TransferRequest& request, TransferResult& result, BodyReader& body) {
    if (!body.placePending) return 1;
    body.placePending = 0;
    const char* failedCall = "";
    if (!placeBodyInOutput(request, result, body.use, &failedCall)) return failFileCall(result, failedCall, errno);
    body.placed = 1;
    // A body that starts the output anew starts its hash anew too.
    if (request.writtenHash != nullptr && request.stored.count == 0) sha256Begin(*request.writtenHash);
    return 1;
}

// Stores body data, leaving out what lies past the body's end and what the
// output already holds. Returns 1, or 0 with the note of a failed file call.
int storeBodyData(TransferRequest& request, TransferResult& result, BodyReader& body, const char* bytes, int count) {
    if (body.limit >= 0 && count > body.limit - body.received) count = static_cast<int>(body.limit - body.received);
    int skipped = 0;
    if (body.received < body.skip) {
        std::int64_t held = body.skip - body.received;
        skipped = held < count ? static_cast<int>(held) : count;
    }
    size_t wanted = static_cast<size_t>(count - skipped);
    if (wanted > 0 && !placeBody(request, result, body)) return 0;
    size_t written = wanted == 0 ? 0 : writeOutputBytes(request.output, bytes + skipped, wanted);
    if (written < wanted) {
        result.bodyBytes += static_cast<std::int64_t>(written);
        actOnPendingInterrupt();  // an output that blocked was cut short by the interrupt
        return failFileCall(result, "fwrite", errno);
    }
    if (request.writtenHash != nullptr) sha256Add(*request.writtenHash, bytes + skipped, written);
    countStored(result, body, count, static_cast<std::int64_t>(written));
    return 1;
}

// Takes body bytes as they arrived: decodes chunks, then stores the data.
// Returns 1, or 0 with the note of a failed file or a malformed chunk.
int takeBodyBytes(TransferRequest& request, TransferResult& result, BodyReader& body, const char* bytes, int count) {
    if (!body.chunked) return storeBodyData(request, result, body, bytes, count);
    while (count > 0 && !body.complete) {
        const char* data = nullptr;
        int dataCount = 0;
        int step = nextChunkData(body.chunks, bytes, count, data, dataCount);
        if (step == chunkMalformed) {
            assignFormat(result.errorText, "recv: Malformed chunked body\n");
            result.stage = stageReceive;
            return 0;
        }
        if (step == chunkLast) body.complete = 1;
        if (step == chunkData && !storeBodyData(request, result, body, data, dataCount)) return 0;
    }
    return 1;
}

// Returns where the body ends: a partial body at its range, cut to the
// asked range; any other at its Content-Length; -1 when the server's
// close ends it.
std::int64_t bodyLength(const TransferRequest& request, const TransferResult& result) {
    std::int64_t length = result.contentLength;
    if (result.replyStatus != 206 || result.rangeStart < 0) return length;
    length = result.rangeEnd - result.rangeStart + 1;
    if (request.rangeLast >= result.rangeStart && request.rangeLast < result.rangeEnd) {
        length = request.rangeLast - result.rangeStart + 1;
    }
    return length;
}

// Notes a reply that the stored bytes do not allow. Returns 0.
int failReply(TransferResult& result, BoundedString& note, int use) {
    result.errorText = note;
    result.stage = use == useCannotReplace ? stageWriteFile : stageReceive;
    result.replyRefused = use == useRefuse;
    return 0;
}

// With failOnError, an error status stores nothing: a passing failure is a
// failed attempt, any other ends the run. Returns 1 when the reply is refused.
int refusedByServer(const TransferRequest& request, TransferResult& result, const HeaderSection& section) {
    if (!request.failOnError || result.replyStatus < 400) return 0;
    // To a resumed request, 416 may say the file is complete already.
    if (request.kind == attemptResume && result.replyStatus == 416) return 0;
    noteServerRefusal(result.errorText, section);
    int passing = isPassingFailure(result.replyStatus);
    result.stage = passing ? stageServerBusy : stageServerRefused;
    result.replyRefused = !passing;  // a passing failure leaves a resume possible
    return 1;
}

// Returns 1 for a redirect the attempt follows: 301, 302, 303, 307 or 308
// with a Location.
int isFollowedRedirect(const TransferResult& result) {
    int status = result.replyStatus;
    int moves = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    return moves && (result.location.length > 0 || result.locationTooLong);
}

// A 4xx from an address that redirects led to (a signed link that
// expired) stores nothing and sends the next attempt to the user's
// address. Returns 1 when the reply is refused so.
int refusedAfterRedirects(const TransferRequest& request, TransferResult& result, const HeaderSection& section) {
    if (!request.refuseClientErrors || result.replyStatus < 400 || result.replyStatus > 499) return 0;
    // To a resumed request, 416 may say the file is complete already.
    if (request.kind == attemptResume && result.replyStatus == 416) return 0;
    noteStatusLine(section, "", "\n", result.errorText);
    result.stage = stageReceive;
    result.backToOrigin = 1;
    return 1;
}

// Stops counting the ranges a state file named as stored once a reply
// shows another version of the file, or replaces what the file holds:
// they belong to a file the server no longer gives.
void forgetOtherVersion(TransferRequest& request, const TransferResult& result, int use) {
    if (request.handOver == nullptr) return;
    if (use == useReplace || replyShowsChangedFile(request.stored, result)) request.handOver->plan = nullptr;
}

// Decides at the end of the header section what the body may do to the
// stored bytes and readies the file for it. Returns 1 when the body is to
// be read, 0 when the attempt ends here (stage set when it failed).
int startBody(TransferRequest& request, TransferResult& result, const HeaderSection& section, BodyReader& body) {
    if (isFollowedRedirect(result)) {
        // Its body is never stored: the connection is closed unread.
        result.redirect = 1;
        body.complete = 1;
        return 0;
    }
    if (loginRefused(request, result)) return 0;
    if (refusedAfterRedirects(request, result, section)) return 0;
    if (request.viaProxy && result.replyStatus == 407) {
        // The proxy wants credentials: asking again will not change that.
        noteStatusLine(section, "", "\n", result.errorText);
        result.stage = stageServerRefused;
        result.replyRefused = 1;
        return 0;
    }
    if (refusedByServer(request, result, section)) return 0;
    if (request.headersOnly) {
        body.complete = 1;  // a reply to HEAD has no body
        const char* failedCall = "";
        if (!emptyForHeaders(request, &failedCall)) failFileCall(result, failedCall, errno);
        return 0;
    }
    BoundedString note;
    body.use = judgeReply(request, result, outputCanBeEmptied(request.output), note);
    forgetOtherVersion(request, result, body.use);
    if (body.use == useRefuse || body.use == useCannotReplace) return failReply(result, note, body.use);
    if (body.use == useAlreadyComplete) return 0;
    body.placePending = 1;
    if (request.handOver != nullptr && replyGoesToParts(request, result, body.use)) {
        // The loop readies the output itself, when its first byte comes.
        beginStoredBody(request, result, body.use);
        body.toParts = 1;
        body.complete = 1;
        return 0;
    }
    if (body.use == useSkipStored) body.skip = request.stored.count;
    // With nothing to cut, the output is readied at once: the first block
    // may then go straight from the socket to the file.
    if (!placingCutsOutput(request, body.use) && !placeBody(request, result, body)) return 0;
    body.chunked = result.chunked;
    if (!body.chunked) body.limit = bodyLength(request, result);
    // Such a body is whole before a byte arrives: waiting would hang on a
    // connection the server keeps open.
    if (body.limit == 0 || result.replyStatus == 204 || result.replyStatus == 304) body.complete = 1;
    // A chunked body's Content-Length says nothing of its length.
    body.progressLength = body.chunked ? -1 : result.contentLength;
    std::int64_t fileBase = body.use == useAppend && request.kind == attemptResume ? request.stored.count : 0;
    placeProgress(body.progress, fileBase, body.limit >= 0 ? fileBase + body.limit : -1);
    return 1;
}

// Moves one body block from the socket straight into the file. Returns the
// count moved, 0 at an orderly close, kMoveSocketFailed, kMoveFileRefused
// (the fwrite note set) or kMoveUnavailable (nothing moved).
int moveBodyBlock(SocketHandle socket, TransferRequest& request, TransferResult& result, BodyReader& body) {
    int capacity = kDirectBlockCapacity;
    if (body.limit >= 0 && body.limit - body.received < capacity) capacity = static_cast<int>(body.limit - body.received);
    int written = 0;
    int moved = moveSocketBytesToFile(socket, request.output, capacity, written);
    if (moved == kMoveFileRefused) {
        result.bodyBytes += written;
        failFileCall(result, "fwrite", errno);
    } else if (moved > 0) {
        countStored(result, body, moved, moved);
    }
    return moved;
}

// Reads body blocks until the body is complete, the server closes the
// connection or a call fails. Returns what the last read returned.
int receiveBody(Connection& connection, char* block, TransferRequest& request, TransferResult& result,
                BodyReader& body) {
    // Chunks must be decoded, TLS decrypted and an output that cannot be
    // read back hashed as written: only the plain way can.
    int direct = !body.chunked && connection.tls == nullptr && request.writtenHash == nullptr;
    int capacity = kReceiveCapacity;
    if (connection.tls != nullptr) {
        block = tlsBlock;
        capacity = kTlsBlockCapacity;
    }
    int received = 1;
    while (!body.complete && result.stage == stageCompleted) {
        // Held bytes must be left out and the file emptied first: the plain way does both.
        if (direct && body.received >= body.skip && !body.placePending) {
            received = moveBodyBlock(connection.socket, request, result, body);
            if (received == kMoveUnavailable) {
                direct = 0;  // the plain way for the rest of the attempt
                continue;
            }
        } else {
            received = receiveOnConnection(connection, block, capacity);
            if (received > 0) takeBodyBytes(request, result, body, block, received);
        }
        if (received <= 0) break;
    }
    return received;
}

// Reads blocks until the header section ends. Returns what the last read
// returned (after a failed one, with the note set); cursor and unread then
// hold the body bytes of that block.
int receiveHeaderSection(Connection& connection, char* block, HeaderSection& section, TransferResult& result,
                         char*& cursor, int& unread) {
    // The idle limit alone would let a trickle hold the attempt for ever.
    beginDeadline();
    int received = 0;
    while (section.inHeaders && result.stage == stageCompleted && received >= 0) {
        received = receiveOnConnection(connection, block, kReceiveCapacity);
        if (received <= 0) break;
        cursor = block;
        unread = received;
        consumeHeaderBytes(section, result, cursor, unread);
        if (section.inHeaders && result.stage == stageCompleted && deadlinePassed()) received = -1;
    }
    endDeadline();
    if (received < 0) failConnectionCall(connection, result, stageReceive, "recv");
    return received;
}

// Returns 1 when the reply ended before it was whole: inside its header
// section, before its last chunk, or short of the length a 200 or 206 gave.
int replyWasCut(const TransferResult& result, const HeaderSection& section, const BodyReader& body) {
    if (section.inHeaders || body.chunked) return 1;
    int announcesWholeBody = result.replyStatus == 200 || result.replyStatus == 206;
    return announcesWholeBody && body.limit >= 0 && body.received < body.limit;
}

// Returns 1 when the body came whole, as far as its end can be seen.
int bodyCameWhole(const TransferResult& result, const HeaderSection& section, const BodyReader& body, int received) {
    return result.stage == stageCompleted && (body.complete || (received >= 0 && !replyWasCut(result, section, body)));
}

// Judges how the reply ended. Returns 1 when it came complete.
int finishReply(TransferResult& result, const HeaderSection& section, const BodyReader& body, int received) {
    if (result.stage != stageCompleted) return 0;
    if (body.complete || body.use == useAlreadyComplete) return 1;
    if (received < 0) return failSocketCall(result, stageReceive, "recv");
    if (replyWasCut(result, section, body)) {
        assignFormat(result.errorText, "recv: %s\n", socketErrorText(kSocketErrorDisconnected));
        result.stage = stageReceive;
        return 0;
    }
    return 1;
}

// A partial reply may end before the end the stored bytes are wanted to
// reach; the rest is then still to ask for. Returns 1, or 0 with a note.
int partialReplyWhole(const TransferRequest& request, TransferResult& result, const BodyReader& body) {
    const StoredBytes& stored = request.stored;
    if (result.replyStatus != 206 || body.use == useAlreadyComplete || request.headersOnly) {
        return 1;
    }
    if (!stored.ownBytes || storedBytesComplete(stored) || (stored.lastByte < 0 && stored.totalLength < 0)) return 1;
    assignFormat(result.errorText, "recv: the partial reply ended at byte %" PRId64 ", before the end\n",
                 stored.firstByte + stored.count);
    result.stage = stageReceive;
    return 0;
}

// Counts the body's bytes as stored, once the output was readied for them.
void recordStoredBytes(TransferRequest& request, const TransferResult& result, const BodyReader& body) {
    if (body.placed) request.stored.count += result.bodyBytes;
}

}  // namespace

int receiveReplyOn(Connection& connection, TransferRequest& request, TransferResult& result) {
    char block[kReceiveCapacity + 1];
    HeaderSection section;
    BodyReader body;
    startProgress(body.progress);
    char* cursor = block;
    int unread = 0;
    int received = receiveHeaderSection(connection, block, section, result, cursor, unread);
    // A redirect's body is never read, nor a proxy's answer to CONNECT.
    if (!section.inHeaders && !isFollowedRedirect(result)) logAt(9, "Receiving body...\n");
    int reading = !section.inHeaders && startBody(request, result, section, body);
    if (body.toParts) {
        handReplyOver(connection, request, result, cursor, unread);
        dropProgress(body.progress);
        return 1;
    }
    if (reading) {
        if (unread > 0 && !body.complete) takeBodyBytes(request, result, body, cursor, unread);
        if (!body.complete && result.stage == stageCompleted) {
            received = receiveBody(connection, block, request, result, body);
        }
        // An empty body that came whole replaces the stored bytes too.
        if (bodyCameWhole(result, section, body, received)) placeBody(request, result, body);
        recordStoredBytes(request, result, body);
    }
    // A redirect shows its own line instead.
    if (result.redirect) {
        dropProgress(body.progress);
    } else {
        endProgress(body.progress);
    }
    if (!finishReply(result, section, body, received)) return 0;
    return partialReplyWhole(request, result, body);
}

int receiveReply(SocketHandle socket, TransferRequest& request, TransferResult& result) {
    Connection connection;
    connection.socket = socket;
    return receiveReplyOn(connection, request, result);
}

void resetResult(TransferResult& result) {
    result.stage = stageCompleted;
    result.replyStatus = -1;
    result.rangeResolution = 0;
    result.headerBytes = 0;
    result.bodyBytes = 0;
    result.contentLength = -1;
    result.rangeStart = -1;
    result.rangeEnd = -1;
    result.rangeTotal = -1;
    result.validator[0] = '\0';
    result.validatorIsTag = 0;
    result.chunked = 0;
    result.replyRefused = 0;
    result.redirect = 0;
    // An attempt allocates nothing on its way to success: a result that never
    // held a Location is left without a buffer.
    if (result.location.length > 0) assignText(result.location, "");
    result.locationTooLong = 0;
    result.backToOrigin = 0;
    result.offersBasic = 0;
    result.askedScheme[0] = '\0';
}

int sendRequest(Connection& connection, const TransferRequest& request, TransferResult& result) {
    static char text[kRequestCapacity];  // 200 KiB: not on the stack
    int length = composeRequest(request, text, kRequestCapacity);
    int sent = sendOnConnection(connection, text, length);
    if (sent < 0) return failConnectionCall(connection, result, stageSend, "send");
    logAt(9, "%d bytes sent\n", sent);
    logAt(8, "Waiting for reply...\n");
    return 1;
}

int isPassingFailure(int status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

int startAttempt(Connection& connection, TransferRequest& request, TransferResult& result) {
    resetResult(result);
    return openConnection(connection, request, result) && sendRequest(connection, request, result);
}

int fetchOnce(TransferRequest& request, TransferResult& result) {
    Connection connection;
    int completed = startAttempt(connection, request, result) && receiveReplyOn(connection, request, result);
    if (connection.socket != kInvalidSocket) closeConnection(connection);
    // A write error held in the stream's buffer shows now, before anything
    // else is asked of the server.
    if (result.stage != stageWriteFile && std::fflush(request.output) != 0) {
        return failFileCall(result, "fflush", errno);
    }
    return completed;
}
