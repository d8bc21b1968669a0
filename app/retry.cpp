#include "app/retry.h"

#include "http/stored_bytes.h"
#include "support/log.h"

namespace {

// A failed retry that made the file grow by fewer bytes than this counts
// as poor.
const std::int64_t kProductiveBytes = 25600;
const int kPoorRetryLimit = 3;

// Asks for the rest of the file from where the stored bytes end.
void planResume(TransferRequest& request) {
    request.kind = attemptResume;
    request.rangeFirst = request.stored.firstByte + request.stored.count;
    request.rangeLast = request.stored.lastByte;
}

// Asks for the whole of what the command line asked for again.
void planRestart(TransferRequest& request) {
    request.kind = attemptRestart;
    request.rangeFirst = request.askedFirst;
    request.rangeLast = request.askedLast;
}

// Returns 1 when the attempt's outcome ends the run whatever the counter says.
int endsRun(const TransferResult& result) {
    return result.stage == stageWriteFile || result.stage == stageServerRefused;
}

}  // namespace

void retryTransfer(TransferRequest& request, TransferResult& result) {
    // A 206 proves ranges as well as an Accept-Ranges line does.
    const int resumeAllowed = result.rangeResolution != 0 || result.replyStatus == 206;
    int poorRetries = 0;
    while (result.stage != stageCompleted) {
        logAt(1, "%s\n", textOf(result.errorText));
        // After a reply that did not fit the stored bytes, only the whole
        // file can be trusted again.
        int continuable = request.stored.ownBytes && !result.replyRefused;
        if (continuable && storedBytesComplete(request.stored)) {
            result.stage = stageCompleted;  // nothing is left to ask for
            return;
        }
        if (resumeAllowed && continuable) {
            planResume(request);
        } else {
            planRestart(request);
        }
        std::int64_t before = request.stored.count;
        fetchOnce(request, result);
        if (endsRun(result)) return;
        if (result.stage != stageCompleted) {
            poorRetries = request.stored.count - before < kProductiveBytes ? poorRetries + 1 : 1;
        }
        if (poorRetries >= kPoorRetryLimit) return;
    }
}
