#include "app/retry.h"

#include "support/log.h"

namespace {

// A failed retry that made the file grow by fewer bytes than this counts
// as poor.
const std::int64_t kProductiveBytes = 25600;
const int kPoorRetryLimit = 3;

// Returns 1 when the stored bytes already reach the end of what is wanted:
// past the asked last byte, or to the known end of the server's file.
int storedBytesComplete(const StoredBytes& stored) {
    std::int64_t next = stored.firstByte + stored.count;
    if (stored.lastByte >= 0 && next > stored.lastByte) return 1;
    return stored.totalLength >= 0 && next >= stored.totalLength;
}

// Asks for the rest of the file from where the stored bytes end.
void planResume(TransferRequest& request) {
    request.kind = attemptResume;
    request.rangeFirst = request.stored.firstByte + request.stored.count;
    request.rangeLast = request.stored.lastByte;
}

// Asks for the whole of what the command line asked for again.
void planRestart(TransferRequest& request, std::int64_t askedFirst, std::int64_t askedLast) {
    request.kind = attemptRestart;
    request.rangeFirst = askedFirst;
    request.rangeLast = askedLast;
}

}  // namespace

void retryTransfer(TransferRequest& request, TransferResult& result) {
    // A 206 proves ranges as well as an Accept-Ranges line does.
    const int resumeAllowed = result.rangeResolution != 0 || result.replyStatus == 206;
    const std::int64_t askedFirst = request.rangeFirst;
    const std::int64_t askedLast = request.rangeLast;
    int poorRetries = 0;
    while (result.stage != stageCompleted) {
        logAt(1, "%s\n", textOf(result.errorText));
        // After a reply that did not fit the stored bytes, only the whole
        // file can be trusted again.
        if (resumeAllowed && request.stored.ownBytes && !result.replyRefused) {
            if (storedBytesComplete(request.stored)) {
                result.stage = stageCompleted;  // nothing is left to ask for
                return;
            }
            planResume(request);
        } else {
            planRestart(request, askedFirst, askedLast);
        }
        std::int64_t before = request.stored.count;
        fetchOnce(request, result);
        if (result.stage == stageWriteFile) return;
        if (result.stage != stageCompleted) {
            poorRetries = request.stored.count - before < kProductiveBytes ? poorRetries + 1 : 1;
        }
        if (poorRetries >= kPoorRetryLimit) return;
    }
}
