#include "app/retry.h"

#include <cerrno>
#include <cstring>

#include "support/log.h"

namespace {

// A failed retry that brought fewer body bytes than this counts as poor.
const std::int64_t kProductiveBodyBytes = 25600;
const int kPoorRetryLimit = 3;
// Pauses stop doubling here, long before their count could overflow.
const std::int64_t kLongestPauseMillis = 24 * 3600 * 1000;

// Where the bytes in the file begin in the server's file, and whether they
// can be continued with a range at all.
struct StoredBytes {
    std::int64_t count = 0;
    std::int64_t firstByte = 0;
    std::int64_t lastByte = -1;  // the end of the range the reply answered
    int continuable = 0;
};

// Describes the file after an attempt whose body starts the stored bytes.
StoredBytes storedFrom(const TransferRequest& request, const TransferResult& result) {
    StoredBytes stored;
    stored.count = result.bodyBytes;
    // Only a file's own bytes can be continued; an error page cannot.
    stored.continuable = result.replyStatus == 200 || result.replyStatus == 206;
    if (result.replyStatus == 206 && request.rangeFirst >= 0) {
        stored.firstByte = request.rangeFirst;
        stored.lastByte = request.rangeLast;
    }
    return stored;
}

// Empties the file for a fresh start. Returns 1, or 0 with the failure noted.
int startFileOver(TransferRequest& request, TransferResult& result) {
    if (emptyOutputFile(request.output) == 0) return 1;
    assignFormat(result.errorText, "ftruncate: %s\n", std::strerror(errno));
    result.stage = stageWriteFile;
    return 0;
}

// Waits before the coming retry when the attempt before it was poor; a
// productive one makes the next poor attempt's pause the first again.
void pauseAfterPoorAttempt(const TransferResult& result, RetryPauses& pauses) {
    if (result.bodyBytes >= kProductiveBodyBytes) {
        pauses.nextMillis = -1;
        return;
    }
    if (pauses.nextMillis < 0) pauses.nextMillis = pauses.firstMillis;
    pauseMillis(pauses.nextMillis);
    if (pauses.nextMillis < kLongestPauseMillis) pauses.nextMillis *= 2;
}

}  // namespace

void retryTransfer(TransferRequest& request, TransferResult& result, RetryPauses& pauses) {
    const int resumeAllowed = result.rangeResolution != 0;
    const std::int64_t askedFirst = request.rangeFirst;
    const std::int64_t askedLast = request.rangeLast;
    StoredBytes stored = storedFrom(request, result);
    int poorRetries = 0;
    while (result.stage != stageCompleted) {
        logAt(1, "%s\n", textOf(result.errorText));
        request.continuesFile = resumeAllowed && stored.continuable;
        if (request.continuesFile) {
            request.rangeFirst = stored.firstByte + stored.count;
            request.rangeLast = stored.lastByte;
        } else {
            if (!startFileOver(request, result)) return;
            request.rangeFirst = askedFirst;
            request.rangeLast = askedLast;
        }
        pauseAfterPoorAttempt(result, pauses);
        fetchOnce(request, result);
        if (result.stage == stageWriteFile) return;
        if (result.stage != stageCompleted) {
            poorRetries = result.bodyBytes < kProductiveBodyBytes ? poorRetries + 1 : 1;
        }
        if (request.continuesFile && !result.startedOver) {
            stored.count += result.bodyBytes;
        } else {
            stored = storedFrom(request, result);  // this reply's body starts the file
        }
        if (poorRetries >= kPoorRetryLimit) return;
    }
}
