#include "app/parts_run.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app/parts_loop.h"
#include "app/redirects.h"
#include "app/retry.h"
#include "http/hand_over.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

// A connection that is free takes half of a gap larger than this.
const std::int64_t kSplitAbove = 2 * kSmallestPart;
// The state file is brought up to date at least this often.
const std::int64_t kSaveEveryMillis = 1000;

// What the loop keeps besides its blocks, made on the first hand-over: a
// run on one connection never pays for it. Each header section takes
// 64 KiB, of which a reply touches only the first pages.
struct PartsMemory {
    PartsLoop loop;
    HeaderSection sections[kMostConnections];
    TransferResult results[kMostConnections];
};
PartsMemory* memory = nullptr;
PartsLoop* activeLoop = nullptr;

// Writes the state file once the bytes it names were handed to the
// system. Returns 1, or 0 after ending the run on a failed write.
int saveState(PartsLoop& loop) {
    if (std::fflush(loop.request->output) != 0) return failFile(loop, "fflush", errno);
    takeStoredRanges(loop.list, loop.state);
    BoundedString note;
    if (!writePartsState(textOf(loop.request->handOver->stateFile), loop.state, note)) {
        endRun(loop, stageWriteFile, note);
        return 0;
    }
    loop.savedAt = monotonicMillis();
    return 1;
}

// Plans the part's next attempt: at once after a productive one, else
// after a pause that doubles each time.
void planPartRetry(PartsLoop& loop, FilePart& part, std::int64_t gained) {
    if (gained >= kProductiveBytes) {
        part.pauseMillis = -1;
        part.resumeAt = 0;
        return;
    }
    if (part.pauseMillis < 0) part.pauseMillis = loop.settings->firstPauseMillis;
    part.resumeAt = monotonicMillis() + part.pauseMillis;
    if (part.pauseMillis < kLongestPauseMillis) part.pauseMillis *= 2;
}

// Returns 1 when a connection besides the slot, not dropped, stored bytes
// within the idle limit: the run goes on without the slot.
int anotherConnectionWorks(const PartsLoop& loop, int slot) {
    std::int64_t idle = loop.settings->idleLimitMillis;
    std::int64_t now = monotonicMillis();
    for (int other = 0; other < loop.connections; ++other) {
        const PartSlot& connection = loop.slots[other];
        if (other == slot || connection.dropped || connection.storedAt == 0) continue;
        if (idle <= 0 || now - connection.storedAt < idle) return 1;
    }
    return 0;
}

// Drops a refused connection for the rest of the run: its part waits for
// the next connection that becomes free, and a restart splits the file
// for one connection fewer.
void dropConnection(PartsLoop& loop, int slot, const BoundedString& note) {
    loop.slots[slot].dropped = 1;
    PartsHandOver& handOver = *loop.request->handOver;
    if (handOver.connections > 1) --handOver.connections;
    int length = note.length;
    if (length > 0 && note.buffer[length - 1] == '\n') --length;
    startOwnLine(loop, 3);
    logAt(3, "Connection %d dropped for the rest of the run: %.*s\n", slot + 1, length, textOf(note));
}

// Cancels the attempt on the slot: the first reply has reached its part,
// of which it had received nothing.
void cancelPart(PartsLoop& loop, int slot) {
    startOwnLine(loop, 9);
    logAt(9, "Connection %d cancelled: the first connection reads its part\n", slot + 1);
    closeSlot(loop, slot);
}

// Returns the index of the part the slot fetches, or -1.
int partIndexOfSlot(const PartsLoop& loop, int slot) {
    for (int index = 0; index < loop.list.count; ++index) {
        if (loop.list.parts[index].slot == slot) return index;
    }
    return -1;
}

// Lets the first reply, at the end of its part, go on into the next part
// when nothing of it was received yet. Returns 1 when it does.
int readOn(PartsLoop& loop, int slot) {
    const PartSlot& connection = loop.slots[slot];
    int index = partIndexOfSlot(loop, slot);
    if (!connection.readsOn || index < 0) return 0;
    int next = untouchedNextPart(loop.list, index, connection.bodyEnd);
    if (next < 0) return 0;
    if (loop.list.parts[next].slot >= 0) cancelPart(loop, loop.list.parts[next].slot);
    joinNextPart(loop.list, index);
    return 1;
}

// Returns a connection that is free for a part, or -1.
int freeSlot(const PartsLoop& loop) {
    for (int slot = 0; slot < loop.connections; ++slot) {
        if (!loop.slots[slot].inUse && !loop.slots[slot].dropped) return slot;
    }
    return -1;
}

// Returns a part without a connection whose pause is over, or -1.
int readyPart(const PartsLoop& loop, std::int64_t now) {
    for (int index = 0; index < loop.list.count; ++index) {
        const FilePart& part = loop.list.parts[index];
        if (!partDone(part) && part.slot < 0 && part.resumeAt <= now) return index;
    }
    return -1;
}

// Gives free connections work: a part waiting for one, else the second
// half of the largest gap.
void fillSlots(PartsLoop& loop) {
    while (!loop.ending && !loop.changed) {
        int slot = freeSlot(loop);
        if (slot < 0) return;
        int partIndex = readyPart(loop, monotonicMillis());
        if (partIndex < 0) partIndex = splitLargestGap(loop.list, kSplitAbove);
        if (partIndex < 0) return;
        startPart(loop, partIndex, slot);
    }
}

// Returns the time of the next thing to do besides reading: an idle limit
// passing, a pause ending while a connection is free, the state file's turn.
std::int64_t nextDeadline(const PartsLoop& loop) {
    std::int64_t deadline = loop.savedAt + kSaveEveryMillis;
    std::int64_t idle = loop.settings->idleLimitMillis;
    for (int slot = 0; slot < loop.connections; ++slot) {
        const PartSlot& connection = loop.slots[slot];
        if (connection.inUse && idle > 0 && connection.lastActivity + idle < deadline) {
            deadline = connection.lastActivity + idle;
        }
    }
    // A part whose connection was dropped waits for one to become free,
    // which a socket tells.
    for (int index = 0; index < loop.list.count && freeSlot(loop) >= 0; ++index) {
        const FilePart& part = loop.list.parts[index];
        if (!partDone(part) && part.slot < 0 && part.resumeAt < deadline) deadline = part.resumeAt;
    }
    return deadline;
}

// Fails the attempts whose connection stayed silent past the idle limit.
void failSilentSlots(PartsLoop& loop) {
    std::int64_t idle = loop.settings->idleLimitMillis;
    std::int64_t now = monotonicMillis();
    for (int slot = 0; slot < loop.connections && idle > 0; ++slot) {
        PartSlot& connection = loop.slots[slot];
        if (connection.inUse && now - connection.lastActivity >= idle) timeOutSlot(loop, slot);
    }
}

// Waits for the connections, or for the next deadline, and reads what arrived.
void waitAndRead(PartsLoop& loop) {
    SocketHandle sockets[kMostConnections];
    int forWrite[kMostConnections];
    int owners[kMostConnections];
    int ready[kMostConnections];
    int count = 0;
    std::int64_t limit = nextDeadline(loop) - monotonicMillis();
    for (int slot = 0; slot < loop.connections; ++slot) {
        const PartSlot& connection = loop.slots[slot];
        if (!connection.inUse) continue;
        if (holdsTlsBytes(connection)) limit = 0;
        sockets[count] = connection.connection.socket;
        forWrite[count] = connection.phase == phaseOpening && connection.opening.wantWrite;
        owners[count++] = slot;
    }
    if (limit < 0) limit = 0;
    if (count == 0) return pauseMillis(limit);
    if (waitForReadableSockets(sockets, forWrite, count, ready, limit) < 0) {
        BoundedString note;
        assignFormat(note, "select: %s\n", textOf(lastSocketErrorText()));
        return endRun(loop, stageReceive, note);
    }
    for (int index = 0; index < count && !loop.ending && !loop.changed; ++index) {
        PartSlot& connection = loop.slots[owners[index]];
        if (ready[index] || (connection.inUse && holdsTlsBytes(connection))) serviceSlot(loop, owners[index]);
    }
}

void runLoop(PartsLoop& loop) {
    for (;;) {
        fillSlots(loop);
        if (loop.ending || loop.changed || allPartsDone(loop.list)) return;
        waitAndRead(loop);
        failSilentSlots(loop);
        if (!loop.ending && monotonicMillis() - loop.savedAt >= kSaveEveryMillis) saveState(loop);
    }
}

// Fills the loop's parts and state from the reply that was handed over.
void planParts(PartsLoop& loop) {
    TransferRequest& request = *loop.request;
    const PartsHandOver& handOver = *request.handOver;
    const StoredBytes& stored = request.stored;
    loop.base = stored.firstByte;
    // The first reply of a continued file may answer only its first gap.
    loop.end = stored.totalLength >= 0 ? stored.totalLength : handOver.bodyEnd;
    if (stored.lastByte >= 0 && stored.lastByte + 1 < loop.end) loop.end = stored.lastByte + 1;
    loop.firstAddress = handOver.addressIndex;
    // A plan counts only while no reply showed another version.
    const PartsState* plan = handOver.plan;
    loop.cutPending = plan == nullptr;
    if (plan == nullptr ||
        !partsFromRanges(loop.list, loop.base, loop.end, plan->starts, plan->ends, plan->rangeCount)) {
        cutIntoParts(loop.list, loop.base, loop.base + stored.count, loop.end, handOver.connections, kSmallestPart);
    }
    PartsState& state = loop.state;
    state.address = handOver.address;
    composeAddress(request, state.partsAddress);
    takeVersion(stored, state);
}

// Gives the handed-over connection the first part, when the reply's body
// begins where that part's gap does.
void adoptFirstConnection(PartsLoop& loop) {
    PartsHandOver& handOver = *loop.request->handOver;
    FilePart& part = loop.list.parts[0];
    PartSlot& slot = loop.slots[0];
    slot = PartSlot();
    slot.connection.socket = handOver.socket;
    slot.connection.tls = handOver.tls;
    slot.connection.addressIndex = handOver.addressIndex;
    slot.inUse = 1;
    slot.phase = phaseBody;
    slot.handedOver = 1;
    slot.readsOn = handOver.wholeFile;
    slot.bodyEnd = handOver.bodyEnd;
    slot.lastActivity = monotonicMillis();
    part.slot = 0;
    handOver.socket = kInvalidSocket;
    handOver.tls = nullptr;
    if (part.next != loop.base + loop.request->stored.count) {
        closeSlot(loop, 0);  // a state file that names other gaps: each part asks for its own
        return;
    }
    logAt(9, "Part %" PRId64 "-%" PRId64 ": bytes from %" PRId64 " on connection 1\n", part.first, part.end - 1,
          part.next);
}

// Closes every connection and saves the state file of a file that is
// not whole; the run removes that of a whole one once the file is closed.
void finishLoop(PartsLoop& loop) {
    for (int slot = 0; slot < loop.connections; ++slot) {
        if (loop.slots[slot].inUse) closeSlot(loop, slot);
    }
    joinFinishedParts(loop.list);
    endProgress(loop.progress);
    if (!allPartsDone(loop.list)) saveState(loop);
    const FilePart& first = loop.list.parts[0];
    loop.request->stored.count = first.first == loop.base ? first.next - first.first : 0;
}

// Ends the hand-over when there is no room for the parts: the reply's
// connection is closed, the run ends as after a failed attempt. Returns partsEnded.
int refuseWithoutMemory(TransferRequest& request, TransferResult& result) {
    PartsHandOver& handOver = *request.handOver;
    Connection connection;
    connection.socket = handOver.socket;
    connection.tls = handOver.tls;
    closeConnection(connection);
    handOver.takenOver = 0;
    handOver.socket = kInvalidSocket;
    handOver.tls = nullptr;
    assignText(result.errorText, "recv: no memory for the parts of the file\n");
    result.stage = stageReceive;
    logAt(1, "%s\n", textOf(result.errorText));
    return partsEnded;
}

}  // namespace

FilePart* partOfSlot(PartsLoop& loop, int slot) {
    int index = partIndexOfSlot(loop, slot);
    return index < 0 ? nullptr : &loop.list.parts[index];
}

void endRun(PartsLoop& loop, int stage, const BoundedString& note) {
    if (loop.ending) return;
    loop.ending = 1;
    loop.result->stage = stage;
    loop.result->errorText = note;
}

int failFile(PartsLoop& loop, const char* call, int errorNumber) {
    BoundedString note;
    assignFormat(note, "%s: %s\n", call, std::strerror(errorNumber));
    endRun(loop, stageWriteFile, note);
    return 0;
}

void startOwnLine(PartsLoop& loop, int level) {
    if (verbosity >= level) breakProgressLine(loop.progress);
}

void partFailed(PartsLoop& loop, int slot, int stage, const BoundedString& note, int refused) {
    FilePart* part = partOfSlot(loop, slot);
    const PartSlot& connection = loop.slots[slot];
    std::int64_t gained = connection.gained;
    int poor = !connection.handedOver && loop.received - connection.fileAtStart < kProductiveBytes;
    closeSlot(loop, slot);
    if (stageEndsRun(stage) || part == nullptr) return endRun(loop, stage, note);
    if (refused && anotherConnectionWorks(loop, slot)) return dropConnection(loop, slot, note);
    loop.retried = 1;
    loop.poorFailures = poor ? loop.poorFailures + 1 : 0;
    // As on one connection, the failure the run gives up after shows only in the status.
    if (loop.poorFailures >= kPoorRetryLimit) return endRun(loop, stage, note);
    startOwnLine(loop, 1);
    logAt(1, "%s\n", textOf(note));
    planPartRetry(loop, *part, gained);
}

void partReachedStop(PartsLoop& loop, int slot, FilePart& part) {
    if (partDone(part) && readOn(loop, slot)) return;
    if (partDone(part)) {
        startOwnLine(loop, 9);
        logAt(9, "Part %" PRId64 "-%" PRId64 " complete\n", part.first, part.end - 1);
        closeSlot(loop, slot);
        joinFinishedParts(loop.list);
        return;
    }
    BoundedString note;
    assignFormat(note, "recv: the partial reply ended at byte %" PRId64 ", before the end\n", part.next);
    partFailed(loop, slot, stageReceive, note, 0);
}

int fetchInParts(TransferRequest& request, TransferResult& result, const PartsSettings& settings, int& retried) {
    if (memory == nullptr) {
        // malloc and a placement: the C++ runtime's allocator is no
        // dependency of the program.
        void* room = std::malloc(sizeof(PartsMemory));
        if (room == nullptr) return refuseWithoutMemory(request, result);
        memory = new (room) PartsMemory;
    }
    PartsLoop& loop = memory->loop;
    loop = PartsLoop();
    loop.request = &request;
    loop.result = &result;
    loop.settings = &settings;
    loop.sections = memory->sections;
    loop.results = memory->results;
    loop.connections = request.handOver->connections;
    request.handOver->takenOver = 0;
    planParts(loop);
    startProgress(loop.progress);
    placeProgress(loop.progress, 0, loop.end - loop.base);
    activeLoop = &loop;
    adoptFirstConnection(loop);
    // The state file is there before a byte lands past the file's
    // continuous start.
    if (saveState(loop)) {
        const PartsHandOver& handOver = *request.handOver;
        if (loop.slots[0].inUse) storeBytes(loop, 0, handOver.pending, handOver.pendingCount);
        runLoop(loop);
    }
    finishLoop(loop);
    activeLoop = nullptr;
    retried = loop.retried;
    if (loop.ending) return partsEnded;
    if (!loop.changed) return partsComplete;
    assignText(result.errorText, "Reply not stored: the file changed on the server\n");
    result.stage = stageReceive;
    result.replyRefused = 1;
    return partsFileChanged;
}

void savePartsBeforeExit() {
    if (activeLoop != nullptr) saveState(*activeLoop);
}
