#include "http/hand_over.h"

#include <cerrno>
#include <cstring>

#include "http/stored_bytes.h"
#include "support/log.h"

namespace {

// Where the reply's body begins in the server's file.
std::int64_t bodyStart(const TransferResult& result) {
    return result.replyStatus == 206 ? result.rangeStart : 0;
}

// One past the last byte of the server's file that the body holds; -1
// when the reply does not give the file's length.
std::int64_t bodyEnd(const TransferResult& result) {
    if (result.chunked) return -1;
    if (result.replyStatus == 200) return result.contentLength;
    if (result.replyStatus != 206 || result.rangeStart < 0 || result.rangeTotal < 0) return -1;
    return result.rangeEnd + 1;
}

// Returns 1 when the state file that parts need can be written beside the
// output; one that cannot is given up for the rest of the run.
int stateFileWritable(PartsHandOver& handOver) {
    if (handOver.stateFile.length == 0) return 0;
    const char* failedCall = "";
    if (probeFileReplacement(textOf(handOver.stateFile), &failedCall) == 0) return 1;
    assignFormat(handOver.stateProblem, "no state file can be kept: %s: %s", failedCall, std::strerror(errno));
    assignText(handOver.stateFile, "");
    return 0;
}

// Returns why the reply cannot be split, or null when it can.
const char* splitRefusal(TransferRequest& request, const TransferResult& result) {
    if (regularFileSize(request.output) < 0) return "the output cannot be written at an offset";
    std::int64_t end = bodyEnd(result);
    if (end < 0) return "the length of the file is unknown";
    if (result.replyStatus != 206 && result.rangeResolution == 0) return "the server does not take ranges";
    if (request.stored.lastByte >= 0 && request.stored.lastByte < end) end = request.stored.lastByte + 1;
    if (request.handOver->plan == nullptr && end - bodyStart(result) < 2 * kSmallestPart) {
        return "the file is too small to split (a part is 1 MiB at least)";
    }
    if (!stateFileWritable(*request.handOver)) return textOf(request.handOver->stateProblem);
    return nullptr;
}

}  // namespace

int replyGoesToParts(TransferRequest& request, const TransferResult& result, int use) {
    PartsHandOver& handOver = *request.handOver;
    if (request.headersOnly || (use != useAppend && use != useReplace)) return 0;
    if (result.replyStatus != 200 && result.replyStatus != 206) return 0;
    if (handOver.connections < 2 && handOver.plan == nullptr) return 0;
    const char* refusal = splitRefusal(request, result);
    if (refusal == nullptr) return 1;
    if (!handOver.reasonShown && handOver.connections > 1) logAt(3, "One connection: %s\n", refusal);
    handOver.reasonShown = 1;
    return 0;
}

void handReplyOver(Connection& connection, TransferRequest& request, const TransferResult& result, const char* bytes,
                   int count) {
    PartsHandOver& handOver = *request.handOver;
    handOver.takenOver = 1;
    handOver.socket = connection.socket;
    handOver.tls = connection.tls;
    handOver.addressIndex = connection.addressIndex;
    handOver.wholeFile = result.replyStatus == 200;
    connection.socket = kInvalidSocket;
    connection.tls = nullptr;
    int room = static_cast<int>(sizeof handOver.pending);
    handOver.pendingCount = count < room ? count : room;
    if (handOver.pendingCount > 0) std::memcpy(handOver.pending, bytes, static_cast<size_t>(handOver.pendingCount));
    handOver.bodyEnd = bodyEnd(result);
}
