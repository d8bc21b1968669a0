#include "http/stored_bytes.h"

#include <cinttypes>
#include <cstring>

namespace {

// Where the reply's body begins in the server's file; -1 when unknown.
std::int64_t replyStart(const TransferRequest& request, const TransferResult& result) {
    if (result.replyStatus == 200) return 0;
    if (result.replyStatus != 206) return -1;
    return result.rangeStart >= 0 ? result.rangeStart : request.rangeFirst;
}

// The length of the server's file as the reply gives it; -1 when unknown.
std::int64_t replyTotal(const TransferResult& result) {
    if (result.replyStatus == 200) return result.chunked ? -1 : result.contentLength;
    return result.rangeTotal;
}

// An ETag is never compared with a date: that says nothing either way.
int validatorsDiffer(const StoredBytes& stored, const TransferResult& result) {
    return stored.validator[0] != '\0' && result.validator[0] != '\0' &&
           stored.validatorIsTag == result.validatorIsTag && std::strcmp(stored.validator, result.validator) != 0;
}

// Returns 1 when the reply shows that the server's file is no longer the
// one the stored bytes came from.
int fileChanged(const StoredBytes& stored, const TransferResult& result) {
    std::int64_t total = replyTotal(result);
    int totalsDiffer = stored.totalLength >= 0 && total >= 0 && stored.totalLength != total;
    return totalsDiffer || validatorsDiffer(stored, result);
}

// Returns 1 when the reply is surely the file the stored bytes began, from
// the same byte on: both give the same total, and the same validator where
// both have one.
int sameFile(const TransferRequest& request, const TransferResult& result) {
    const StoredBytes& stored = request.stored;
    std::int64_t total = replyTotal(result);
    return stored.ownBytes && replyStart(request, result) == stored.firstByte && total >= 0 &&
           total == stored.totalLength && !validatorsDiffer(stored, result);
}

// Returns 1 when the stored bytes came with a validator and the reply
// carries the same: a length alone cannot tell two versions apart.
int validatorsMatch(const StoredBytes& stored, const TransferResult& result) {
    return stored.validator[0] != '\0' && stored.validatorIsTag == result.validatorIsTag &&
           std::strcmp(stored.validator, result.validator) == 0;
}

int refuse(BoundedString& note, const char* why) {
    assignFormat(note, "Reply not stored: %s\n", why);
    return useRefuse;
}

int refuseStatus(BoundedString& note, int status, const char* instead) {
    assignFormat(note, "Reply not stored: status %d in place of %s\n", status, instead);
    return useRefuse;
}

// A reply whose body would take the stored bytes' place. When it is
// surely the same file, they stay and its first bytes are read past; an
// output that cannot be emptied makes do with the same length.
int replacing(const TransferRequest& request, const TransferResult& result, int outputCanBeEmptied,
              BoundedString& note) {
    if (request.stored.count == 0) return useReplace;
    if (sameFile(request, result) && (validatorsMatch(request.stored, result) || !outputCanBeEmptied)) {
        return useSkipStored;
    }
    if (outputCanBeEmptied) return useReplace;
    assignFormat(note, "Cannot start over: the output cannot be emptied, and the reply is not the same file\n");
    return useCannotReplace;
}

// A partial reply that does not start where it must. Returns useRefuse.
int refuseStart(const TransferResult& result, std::int64_t wanted, BoundedString& note) {
    if (result.rangeStart < 0) return refuse(note, "the partial reply does not say where it starts");
    assignFormat(note, "Reply not stored: it starts at byte %" PRId64 ", not at byte %" PRId64 "\n", result.rangeStart,
                 wanted);
    return useRefuse;
}

int judgePartialReply(const TransferRequest& request, const TransferResult& result, BoundedString& note) {
    if (result.rangeStart < 0 || result.rangeStart != request.rangeFirst) {
        return refuseStart(result, request.rangeFirst, note);
    }
    if (fileChanged(request.stored, result)) return refuse(note, "the file changed on the server");
    return useAppend;
}

// 416 with the file's length: complete when that is where the stored bytes end.
int judgeUnsatisfiable(const TransferRequest& request, const TransferResult& result, BoundedString& note) {
    std::int64_t end = request.stored.firstByte + request.stored.count;
    if (result.rangeTotal < 0) return refuseStatus(note, 416, "the rest of the file");
    if (fileChanged(request.stored, result)) return refuse(note, "the file changed on the server");
    if (result.rangeTotal == end) return useAlreadyComplete;
    assignFormat(note, "Reply not stored: the file on the server has %" PRId64 " bytes, the stored ones end at %" PRId64 "\n",
                 result.rangeTotal, end);
    return useRefuse;
}

int judgeResumeReply(const TransferRequest& request, const TransferResult& result, int outputCanBeEmptied,
                     BoundedString& note) {
    switch (result.replyStatus) {
        case 206:
            return judgePartialReply(request, result, note);
        case 416:
            return judgeUnsatisfiable(request, result, note);
        case 200:
            return replacing(request, result, outputCanBeEmptied, note);
        default:
            return refuseStatus(note, result.replyStatus, "the rest of the file");
    }
}

// The file's own bytes are replaced only by the file: a 200, or a 206 for
// the asked range.
int judgeRestartReply(const TransferRequest& request, const TransferResult& result, int outputCanBeEmptied,
                      BoundedString& note) {
    if (request.stored.count == 0) return useAppend;
    int answersRange = result.replyStatus == 206 &&
                       (request.rangeFirst < 0 || result.rangeStart < 0 || result.rangeStart == request.rangeFirst);
    if (request.stored.ownBytes && result.replyStatus != 200 && !answersRange) {
        return refuseStatus(note, result.replyStatus, "the file");
    }
    return replacing(request, result, outputCanBeEmptied, note);
}

}  // namespace

int judgeReply(const TransferRequest& request, const TransferResult& result, int outputCanBeEmptied,
               BoundedString& note) {
    // Unasked, a partial reply is the file only from its first byte on.
    if (result.replyStatus == 206 && request.rangeFirst < 0 && result.rangeStart != 0) {
        return refuseStart(result, 0, note);
    }
    if (request.kind == attemptResume) return judgeResumeReply(request, result, outputCanBeEmptied, note);
    if (request.kind == attemptRestart) return judgeRestartReply(request, result, outputCanBeEmptied, note);
    return useAppend;
}

namespace {

// Describes the stored bytes of a body stored from its start.
void describeStoredBytes(const TransferRequest& request, const TransferResult& result, StoredBytes& stored) {
    // A partial body that does not say where it starts cannot be continued.
    std::int64_t start = replyStart(request, result);
    stored.count = 0;
    stored.ownBytes = start >= 0;
    stored.firstByte = stored.ownBytes ? start : 0;
    stored.lastByte = result.replyStatus == 206 ? request.rangeLast : -1;
    stored.totalLength = stored.ownBytes ? replyTotal(result) : -1;
    std::memcpy(stored.validator, result.validator, sizeof stored.validator);
    stored.validatorIsTag = result.validatorIsTag;
}

// Takes what the stored bytes' description lacks from a reply that
// continued them.
void completeStoredBytes(const TransferResult& result, StoredBytes& stored) {
    if (stored.totalLength < 0) stored.totalLength = replyTotal(result);
    if (stored.validator[0] == '\0') {
        std::memcpy(stored.validator, result.validator, sizeof stored.validator);
        stored.validatorIsTag = result.validatorIsTag;
    }
}

}  // namespace

namespace {

// Returns 1 when a body stored as use says follows the stored bytes, or
// reads past them, rather than starting the file anew.
int keepsStoredBytes(const TransferRequest& request, int use) {
    return use == useSkipStored || (use == useAppend && request.kind == attemptResume);
}

}  // namespace

std::int64_t storedBodyOffset(const TransferRequest& request, int use) {
    return keepsStoredBytes(request, use) ? request.stored.count : 0;
}

std::int64_t beginStoredBody(TransferRequest& request, const TransferResult& result, int use) {
    if (!keepsStoredBytes(request, use)) {
        describeStoredBytes(request, result, request.stored);
        return 0;
    }
    completeStoredBytes(result, request.stored);
    return request.stored.count;
}

int storedBytesComplete(const StoredBytes& stored) {
    std::int64_t next = stored.firstByte + stored.count;
    if (stored.lastByte >= 0 && next > stored.lastByte) return 1;
    return stored.totalLength >= 0 && next >= stored.totalLength;
}

int replyShowsChangedFile(const StoredBytes& stored, const TransferResult& result) {
    int status = result.replyStatus;
    return (status == 200 || status == 206 || status == 416) && fileChanged(stored, result);
}
