#include "http/output_place.h"

#include "http/state_file.h"
#include "http/stored_bytes.h"
#include "support/log.h"

namespace {

// Returns 1 when a state file names ranges of the file past its first gap,
// which a body on one connection must leave where they are.
int holdsRangesPastGap(const TransferRequest& request) {
    return request.handOver != nullptr && request.handOver->plan != nullptr;
}

// Cuts the output at offset, or only places it there; an output that
// cannot be emptied (a pipe) has no offsets. Returns 0, or -1 as cutOutputFile.
int placeOutput(TransferRequest& request, std::int64_t offset, const char** failedCall) {
    if (!outputCanBeEmptied(request.output)) return 0;
    if (!holdsRangesPastGap(request)) return cutOutputFile(request.output, offset, failedCall);
    *failedCall = "fseek";
    return seekOutputFile(request.output, offset);
}

// Brings the state file in line with the stored bytes; one that cannot be
// written is given up, and the run goes on without it.
void recordState(TransferRequest& request) {
    if (request.handOver == nullptr || holdsRangesPastGap(request)) return;
    if (!recordOneConnectionState(*request.handOver, request.stored)) {
        logAt(9, "No state file: %s\n", textOf(request.handOver->stateProblem));
    }
}

}  // namespace

int placeBodyInOutput(TransferRequest& request, const TransferResult& result, int use, const char** failedCall) {
    std::int64_t offset = beginStoredBody(request, result, use);
    if (placeOutput(request, offset, failedCall) != 0) return 0;
    recordState(request);
    return 1;
}

int placingCutsOutput(const TransferRequest& request, int use) {
    if (holdsRangesPastGap(request)) return 0;
    return regularFileSize(request.output) > storedBodyOffset(request, use);
}

int emptyForHeaders(TransferRequest& request, const char** failedCall) {
    if (request.keepsFile) return 1;
    request.stored = StoredBytes();
    if (placeOutput(request, 0, failedCall) != 0) return 0;
    recordState(request);
    return 1;
}
