#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "http/reply_headers.h"
#include "http/transfer.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

// At most this much is read at once, so a terminating zero always fits.
const int kReceiveCapacity = 16383;
// Room for the longest request: a path at the string cap, a range line
// with two 64-bit numbers and the line ends.
const int kRequestCapacity = kBoundedStringCap + 128;
// The most one direct socket-to-file move carries; the receive block's cap
// does not apply there. Measured with 1 GiB from nginx on loopback: 256 KiB
// was the fastest to disk; 64 and 128 KiB cost more calls, and 1 MiB, though
// lighter on the processor, was slower to disk.
const int kDirectBlockCapacity = 256 * 1024;
// A terminal's progress line is redrawn at most this often.
const std::int64_t kRedrawMillis = 100;

void resetResult(TransferResult& result) {
    result.stage = stageCompleted;
    result.replyStatus = -1;
    result.rangeResolution = 0;
    result.headerBytes = 0;
    result.bodyBytes = 0;
    result.contentLength = -1;
    result.startedOver = 0;
}

// Notes a failed socket call as "<call>: <reason>\n". Returns 0.
int failSocketCall(TransferResult& result, FailureStage stage, const char* call) {
    BoundedString reason = lastSocketErrorText();
    assignFormat(result.errorText, "%s: %s\n", call, textOf(reason));
    result.stage = stage;
    return 0;
}

// Notes a failure of the output file as "<call>: <system's reason>\n". Returns 0.
int failFileCall(TransferResult& result, const char* call, int errorNumber) {
    assignFormat(result.errorText, "%s: %s\n", call, std::strerror(errorNumber));
    result.stage = stageWriteFile;
    return 0;
}

// Returns 1 when connected, 0 with the connect note otherwise.
int connectToServer(SocketHandle socket, const TransferRequest& request, TransferResult& result) {
    const char* dotted = formatDottedAddress(request.address.address);
    int port = networkToHostShort(request.address.port);
    logAt(9, "Connecting to server, address=%s, port=%d...\n", dotted, port);
    if (connectSocket(socket, request.address) == 0) return 1;
    // The reason first: nothing may touch the socket layer before it is read.
    BoundedString reason = lastSocketErrorText();
    dotted = formatDottedAddress(request.address.address);
    assignFormat(result.errorText, "connect(%s:%d): %s", dotted, port, textOf(reason));
    result.stage = stageConnect;
    return 0;
}

// Writes the request into text, logging it. Returns its length.
int composeRequest(const TransferRequest& request, char* text, int capacity) {
    int length = std::snprintf(text, static_cast<size_t>(capacity), "%s%s HTTP/1.0\r\n",
                               request.headersOnly ? "HEAD " : "GET ", textOf(request.path));
    logAt(9, "Sending request: %s", text);
    if (request.rangeFirst != -1) {
        char* rangeLine = text + length;
        size_t room = static_cast<size_t>(capacity - length);
        if (request.rangeLast == -1) {
            length += std::snprintf(rangeLine, room, "Range: bytes=%" PRId64 "-\r\n", request.rangeFirst);
        } else {
            length += std::snprintf(rangeLine, room, "Range: bytes=%" PRId64 "-%" PRId64 "\r\n",
                                    request.rangeFirst, request.rangeLast);
        }
        logAt(9, "                 %s", rangeLine);
    }
    length += std::snprintf(text + length, static_cast<size_t>(capacity - length), "\r\n");
    return length;
}

// Returns 1 when the request went out, 0 with the send note otherwise.
int sendRequest(SocketHandle socket, const TransferRequest& request, TransferResult& result) {
    char text[kRequestCapacity];
    int length = composeRequest(request, text, kRequestCapacity);
    int sent = sendBytes(socket, text, length);
    if (sent < 0) return failSocketCall(result, stageSend, "send");
    logAt(9, "%d bytes sent\n", sent);
    logAt(8, "Waiting for reply...\n");
    return 1;
}

// The progress line of one attempt. A terminal redraws it at most every
// kRedrawMillis: nobody reads faster, and each redraw costs more there than
// the block it reports. The last line held back is drawn before the line
// ends, so the final count always shows. Anywhere else every block's line
// is written, for the scripts that read them.
struct ProgressLine {
    int spacedOut = 0;
    std::int64_t drawnAt = 0;
    int drawnOnce = 0;
    int heldBack = 0;
    std::int64_t heldBodyBytes = 0;
    std::int64_t heldLength = 0;
};

ProgressLine startProgress() {
    ProgressLine line;
    line.spacedOut = standardErrorIsTerminal();
    return line;
}

void drawProgress(std::int64_t bodyBytes, std::int64_t progressLength) {
    double percent = 0.0;
    if (progressLength > 0) {
        percent = static_cast<double>(bodyBytes) / static_cast<double>(progressLength) * 100.0;
    }
    logAt(3, "\rReceived %" PRId64 "/%" PRId64 " (%1.1f%%)...", bodyBytes, progressLength, percent);
}

void showProgress(ProgressLine& line, const TransferResult& result, std::int64_t progressLength) {
    if (verbosity < 3) return;
    if (line.spacedOut) {
        std::int64_t now = monotonicMillis();
        if (line.drawnOnce && now - line.drawnAt < kRedrawMillis) {
            line.heldBack = 1;
            line.heldBodyBytes = result.bodyBytes;
            line.heldLength = progressLength;
            return;
        }
        line.drawnAt = now;
        line.drawnOnce = 1;
    }
    line.heldBack = 0;
    drawProgress(result.bodyBytes, progressLength);
}

// Ends the progress line, drawing first the line that was held back.
void endProgress(ProgressLine& line) {
    if (line.heldBack) drawProgress(line.heldBodyBytes, line.heldLength);
    line.heldBack = 0;
    logAt(3, "\n");
}

// Appends body bytes to the file. Returns 1, or 0 with the fwrite note.
int storeBody(TransferRequest& request, TransferResult& result, const HeaderSection& section,
              ProgressLine& progress, const char* bytes, int count) {
    size_t written = std::fwrite(bytes, 1, static_cast<size_t>(count), request.output);
    result.bodyBytes += static_cast<std::int64_t>(written);
    if (written < static_cast<size_t>(count)) {
        actOnPendingInterrupt();  // an output that blocked was cut by the interrupt
        return failFileCall(result, "fwrite", errno);
    }
    showProgress(progress, result, section.progressLength);
    return 1;
}

// A resumed request answered with anything but the asked range would
// splice an unrelated body onto the stored bytes; start the file over.
int startOverUnlessContinued(TransferRequest& request, TransferResult& result) {
    if (!request.continuesFile || result.replyStatus == 206) return 1;
    if (emptyOutputFile(request.output) != 0) return failFileCall(result, "ftruncate", errno);
    result.startedOver = 1;
    return 1;
}

// Returns 1 when an orderly close still left the reply incomplete.
int replyWasCut(const TransferRequest& request, const TransferResult& result, const HeaderSection& section) {
    if (request.headersOnly) return 0;
    if (section.inHeaders) return 1;
    int announcesWholeBody = result.replyStatus == 200 || result.replyStatus == 206;
    return announcesWholeBody && result.contentLength >= 0 && result.bodyBytes < result.contentLength;
}

// Reads one block into the receive block and takes the header lines and
// body bytes it carries. Returns what receiveBytes returned; storing
// becomes 0 when the file failed.
int receiveBlock(SocketHandle socket, char* block, TransferRequest& request, TransferResult& result,
                 HeaderSection& section, ProgressLine& progress, int& storing) {
    int received = receiveBytes(socket, block, kReceiveCapacity);
    if (received <= 0) return received;
    block[received] = '\0';
    char* cursor = block;
    int unread = received;
    if (section.inHeaders) {
        consumeHeaderBytes(section, result, cursor, unread);
        if (!section.inHeaders) storing = startOverUnlessContinued(request, result);
    }
    if (storing && unread > 0) storing = storeBody(request, result, section, progress, cursor, unread);
    return received;
}

// Moves one body block from the socket straight into the file. Returns the
// count moved, 0 at an orderly close, -1 on a socket failure, or
// kMoveUnavailable (nothing moved); storing becomes 0 when the file failed.
int moveBodyBlock(SocketHandle socket, TransferRequest& request, TransferResult& result,
                  const HeaderSection& section, ProgressLine& progress, int& storing) {
    int written = 0;
    int moved = moveSocketBytesToFile(socket, request.output, kDirectBlockCapacity, written);
    if (moved == kMoveFileRefused) {
        result.bodyBytes += written;
        storing = failFileCall(result, "fwrite", errno);
        return moved;
    }
    if (moved > 0) {
        result.bodyBytes += moved;
        showProgress(progress, result, section.progressLength);
    }
    return moved;
}

}  // namespace

int receiveReply(SocketHandle socket, TransferRequest& request, TransferResult& result) {
    char block[kReceiveCapacity + 1];
    HeaderSection section;
    ProgressLine progress = startProgress();
    int received = 0;
    int storing = 1;
    int direct = 1;
    while (storing) {
        if (direct && !section.inHeaders) {
            received = moveBodyBlock(socket, request, result, section, progress, storing);
            if (received == kMoveUnavailable) {
                direct = 0;  // the plain way for the rest of the attempt
                continue;
            }
        } else {
            received = receiveBlock(socket, block, request, result, section, progress, storing);
        }
        if (received <= 0) break;
    }
    endProgress(progress);
    if (!storing) return 0;
    if (received < 0) return failSocketCall(result, stageReceive, "recv");
    if (replyWasCut(request, result, section)) {
        assignFormat(result.errorText, "recv: %s\n", socketErrorText(kSocketErrorDisconnected));
        result.stage = stageReceive;
        return 0;
    }
    return 1;
}

int fetchOnce(TransferRequest& request, TransferResult& result) {
    resetResult(result);
    SocketHandle socket = openTcpSocket();
    if (socket == kInvalidSocket) return failSocketCall(result, stageSocket, "socket");
    int completed = connectToServer(socket, request, result) && sendRequest(socket, request, result) &&
                    receiveReply(socket, request, result);
    closeSocket(socket);
    return completed;
}
