#include "app/continued_parts.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "support/log.h"
#include "support/shown_text.h"

namespace {

// Returns why the state file cannot guide the run, or null when it can.
const char* stateRefusal(const TransferRequest& request, const BoundedString& address, std::int64_t size,
                         const PartsState& state) {
    std::int64_t first = request.askedFirst >= 0 ? request.askedFirst : 0;
    if (std::strcmp(textOf(state.address), textOf(address)) != 0) return "it names another address";
    if (state.firstByte != first || state.lastByte != request.askedLast) return "it names another range";
    std::int64_t end = state.lastByte >= 0 && state.lastByte < state.totalLength ? state.lastByte + 1 : state.totalLength;
    PartList parts;
    if (!partsFromRanges(parts, first, end, state.starts, state.ends, state.rangeCount)) {
        return "its ranges do not fit the file";
    }
    for (int index = 0; index < state.rangeCount; ++index) {
        if (state.ends[index] - first > size) return "it names bytes beyond the file";
    }
    return nullptr;
}

// The bytes at the file's start that the state file proves: its first
// range, when that begins the file and the file holds it.
std::int64_t provenStart(const TransferRequest& request, std::int64_t size, const PartsState& state) {
    std::int64_t first = request.askedFirst >= 0 ? request.askedFirst : 0;
    if (state.rangeCount == 0 || state.starts[0] != first || state.ends[0] - first > size) return 0;
    return state.ends[0] - first;
}

// Makes the first request ask from where the proven start ends, for the
// file the state file describes.
void askAfterStart(TransferRequest& request, std::int64_t proven, const PartsState& state) {
    StoredBytes& stored = request.stored;
    stored.count = proven;
    stored.firstByte = state.firstByte;
    stored.lastByte = state.lastByte;
    stored.totalLength = state.totalLength;
    std::memcpy(stored.validator, state.validator, sizeof stored.validator);
    stored.validatorIsTag = state.validatorIsTag;
    stored.ownBytes = 1;
    request.kind = attemptResume;
    request.rangeFirst = stored.firstByte + proven;
    request.rangeLast = stored.lastByte;
    // Only the first gap: the bytes past it are in the file already.
    int next = proven > 0 ? 1 : 0;
    if (next < state.rangeCount) request.rangeLast = state.starts[next] - 1;
}

}  // namespace

int continueFromState(TransferRequest& request, const BoundedString& address, std::int64_t size, PartsState& plan) {
    const char* name = textOf(request.handOver->stateFile);
    int reading = readPartsState(name, plan);
    if (reading == stateMissing) return continueFromSize;
    const char* refusal = reading == stateRead ? stateRefusal(request, address, size, plan) : "it cannot be read";
    if (refusal == nullptr) {
        askAfterStart(request, provenStart(request, size, plan), plan);
        request.handOver->hasPlan = 1;
        return continueWithPlan;
    }
    std::int64_t proven = provenStart(request, size, plan);
    BoundedString shown = escapedCopy(name);
    logAt(1, "State file %s ignored: %s; keeping the first %" PRId64 " bytes\n", textOf(shown), refusal, proven);
    const char* failedCall = "";
    if (cutOutputFile(request.output, proven, &failedCall) != 0) {
        logAt(1, "%s: %s\n", failedCall, std::strerror(errno));
        return continueFailed;
    }
    if (removeFileIfPresent(name) != 0) {
        logAt(1, "remove: %s\n", std::strerror(errno));
        return continueFailed;
    }
    plan.rangeCount = 0;
    return continueFromSize;
}
