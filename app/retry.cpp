#include "app/retry.h"

#include "app/continued_parts.h"
#include "app/redirects.h"
#include "http/stored_bytes.h"
#include "support/log.h"

namespace {

// Asks for the rest of the file from where the stored bytes end; where a
// state file names ranges past them, for the gap up to the next.
void planResume(TransferRequest& request) {
    request.kind = attemptResume;
    request.rangeFirst = request.stored.firstByte + request.stored.count;
    request.rangeLast = request.stored.lastByte;
    if (request.handOver != nullptr && request.handOver->plan != nullptr) continuePlan(request, *request.handOver->plan);
}

// Asks for the whole of what the command line asked for again.
void planRestart(TransferRequest& request) {
    request.kind = attemptRestart;
    request.rangeFirst = request.askedFirst;
    request.rangeLast = request.askedLast;
    request.fromOrigin = 1;  // the whole chain again, as for the first attempt
}

// Waits before the coming retry when the attempt before it added fewer
// than kProductiveBytes to the file; a productive one makes the next poor
// attempt's pause the first again.
void pauseAfterPoorAttempt(std::int64_t gained, RetryPauses& pauses) {
    if (gained >= kProductiveBytes) {
        pauses.nextMillis = -1;
        return;
    }
    if (pauses.nextMillis < 0) pauses.nextMillis = pauses.firstMillis;
    pauseMillis(pauses.nextMillis);
    if (pauses.nextMillis < kLongestPauseMillis) pauses.nextMillis *= 2;
}

}  // namespace

void retryTransfer(TransferRequest& request, TransferResult& result, RetryPauses& pauses) {
    // A 206 proves ranges as well as an Accept-Ranges line does; a run
    // that began by continuing a kept file keeps continuing it.
    const int resumeAllowed = result.rangeResolution != 0 || result.replyStatus == 206 || request.kind == attemptResume;
    int poorRetries = 0;
    while (result.stage != stageCompleted) {
        logAt(1, "%s\n", textOf(result.errorText));
        // After a reply that did not fit the stored bytes, only the whole
        // file can be trusted again.
        int continuable = request.stored.ownBytes && !result.replyRefused;
        // A resume first: the ranges of a state file may take the stored bytes to the end.
        if (resumeAllowed && continuable) planResume(request);
        if (continuable && storedBytesComplete(request.stored)) {
            result.stage = stageCompleted;  // nothing is left to ask for
            return;
        }
        if (!resumeAllowed || !continuable) planRestart(request);
        pauseAfterPoorAttempt(pauses.lastGain, pauses);
        std::int64_t before = request.stored.count;
        fetchFollowing(request, result);
        if (stageEndsRun(result.stage)) return;
        pauses.lastGain = request.stored.count - before;
        if (result.stage != stageCompleted) poorRetries = pauses.lastGain < kProductiveBytes ? poorRetries + 1 : 1;
        if (poorRetries >= kPoorRetryLimit) return;
    }
}
