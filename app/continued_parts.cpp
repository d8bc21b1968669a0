#include "app/continued_parts.h"

#include <cinttypes>
#include <cstring>

#include "support/log.h"
#include "support/shown_text.h"

namespace {

// Returns the first byte of the asked range in the server's file.
std::int64_t askedStart(const TransferRequest& request) { return request.askedFirst >= 0 ? request.askedFirst : 0; }

// Returns one past the last byte the state wants, or -1 when it names no end.
std::int64_t wantedEnd(const PartsState& state) {
    if (state.lastByte >= 0 && (state.totalLength < 0 || state.lastByte < state.totalLength)) return state.lastByte + 1;
    return state.totalLength;
}

// Returns why the state file cannot guide the run, or null when it can.
const char* stateRefusal(const TransferRequest& request, std::int64_t size, const PartsState& state) {
    std::int64_t first = askedStart(request);
    if (std::strcmp(textOf(state.address), textOf(request.handOver->address)) != 0) return "it names another address";
    if (state.firstByte != first || state.lastByte != request.askedLast) return "it names another range";
    std::int64_t end = wantedEnd(state);
    if (state.prefix) return end >= 0 && size > end - first ? "the file holds more than it names" : nullptr;
    PartList parts;
    if (!partsFromRanges(parts, first, end, state.starts, state.ends, state.rangeCount)) {
        return "its ranges do not fit the file";
    }
    for (int index = 0; index < state.rangeCount; ++index) {
        if (state.ends[index] - first > size) return "it names bytes beyond the file";
    }
    return nullptr;
}

// The bytes at the file's start that the state file proves: the whole file
// for the start of one connection (none when it is longer than what the
// state names), else its first range, when that begins the file and the
// file holds it.
std::int64_t provenStart(const TransferRequest& request, std::int64_t size, const PartsState& state) {
    std::int64_t first = askedStart(request);
    std::int64_t end = wantedEnd(state);
    if (state.prefix) return end >= 0 && size > end - first ? 0 : size;
    if (state.rangeCount == 0 || state.starts[0] != first || state.ends[0] - first > size) return 0;
    return state.ends[0] - first;
}

// Makes the first request ask from where the proven start ends, for the
// file the state file describes.
void askAfterStart(TransferRequest& request, std::int64_t proven, PartsState& state) {
    StoredBytes& stored = request.stored;
    stored.count = proven;
    stored.firstByte = state.firstByte;
    stored.lastByte = state.lastByte;
    stored.totalLength = state.totalLength;
    std::memcpy(stored.validator, state.validator, sizeof stored.validator);
    stored.validatorIsTag = state.validatorIsTag;
    stored.ownBytes = 1;
    request.kind = attemptResume;
    continuePlan(request, state);
}

// Sets a state file that cannot guide the run aside, with its line: the
// start it proves is continued, of no known version.
void setAside(TransferRequest& request, const char* name, const char* refusal, std::int64_t proven) {
    BoundedString shown = escapedCopy(name);
    logAt(1, "State file %s ignored: %s; keeping the first %" PRId64 " bytes\n", textOf(shown), refusal, proven);
    continueKeptBytes(request, proven);
}

}  // namespace

void continuePlan(TransferRequest& request, PartsState& plan) {
    StoredBytes& stored = request.stored;
    std::int64_t end = stored.firstByte + stored.count;
    int reached = 0;
    for (; reached < plan.rangeCount && plan.starts[reached] <= end; ++reached) {
        if (plan.ends[reached] > end) end = plan.ends[reached];
    }
    // The stored start stands first, then the ranges past its end.
    PartsState rest;
    if (end > stored.firstByte) {
        rest.starts[rest.rangeCount] = stored.firstByte;
        rest.ends[rest.rangeCount++] = end;
    }
    for (int index = reached; index < plan.rangeCount; ++index) {
        rest.starts[rest.rangeCount] = plan.starts[index];
        rest.ends[rest.rangeCount++] = plan.ends[index];
    }
    plan.rangeCount = rest.rangeCount;
    std::memcpy(plan.starts, rest.starts, sizeof plan.starts);
    std::memcpy(plan.ends, rest.ends, sizeof plan.ends);
    stored.count = end - stored.firstByte;
    request.rangeFirst = end;
    request.rangeLast = stored.lastByte;
    // Only the first gap: the bytes past it are in the file already.
    int next = end > stored.firstByte ? 1 : 0;
    if (next < plan.rangeCount) request.rangeLast = plan.starts[next] - 1;
}

void continueKeptBytes(TransferRequest& request, std::int64_t count) {
    if (count <= 0) return;
    StoredBytes& stored = request.stored;
    stored.count = count;
    stored.firstByte = askedStart(request);
    stored.lastByte = request.askedLast;
    stored.ownBytes = 1;
    request.kind = attemptResume;
    request.rangeFirst = stored.firstByte + count;
    request.rangeLast = stored.lastByte;
}

int continueFromState(TransferRequest& request, std::int64_t size, PartsState& plan) {
    PartsHandOver& handOver = *request.handOver;
    const char* name = textOf(handOver.stateFile);
    int reading = readPartsState(name, plan);
    if (reading == stateMissing) return continueFromSize;
    const char* refusal = reading == stateRead ? stateRefusal(request, size, plan) : "it cannot be read";
    if (refusal == nullptr) {
        askAfterStart(request, provenStart(request, size, plan), plan);
        if (!plan.prefix) handOver.plan = &plan;
        return plan.prefix ? continueFromProven : continueWithPlan;
    }
    setAside(request, name, refusal, reading == stateRead ? provenStart(request, size, plan) : 0);
    return continueFromProven;
}
