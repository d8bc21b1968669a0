#include "app/parts_run.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app/redirects.h"
#include "app/retry.h"
#include "http/authorization.h"
#include "http/connection.h"
#include "http/hand_over.h"
#include "http/progress_line.h"
#include "http/reply_headers.h"
#include "http/stored_bytes.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

const int kMostConnections = 16;
// A connection that is free takes half of a gap larger than this.
const std::int64_t kSplitAbove = 2 * kSmallestPart;
// The state file is brought up to date at least this often.
const std::int64_t kSaveEveryMillis = 1000;
// Header blocks are read in pieces this large, as in a single attempt.
const int kHeaderBlockCapacity = 16383;
// Body bytes that pass through the program (TLS, or an output that takes
// nothing from the kernel's pipe) are read in pieces up to this large; the
// direct path moves as much at once.
const int kBodyBlockCapacity = 256 * 1024;
// Blocks one connection may have read in a row before the others' turn:
// 16 MiB. Measured on loopback with 512 MiB from nginx, -s4 took 1.6
// times one connection's time with one block a turn, 1.3 with a socket
// read until empty (four curl processes for the four ranges took 1.2).
const int kBlocksPerTurn = 64;

// Where a connection stands.
enum SlotPhase { phaseOpening, phaseHeaders, phaseBody };

struct PartSlot {
    int inUse = 0;
    int phase = phaseOpening;
    int plainWay = 0;  // the output takes no bytes straight from the socket
    Connection connection;
    Opening opening;
    std::int64_t bodyEnd = 0;       // one past the last byte the reply's body holds
    std::int64_t lastActivity = 0;
    std::int64_t gained = 0;        // bytes this attempt stored
};

struct PartsLoop {
    TransferRequest* request = nullptr;
    TransferResult* result = nullptr;
    const PartsSettings* settings = nullptr;
    PartList list;
    PartsState state;
    PartSlot slots[kMostConnections];
    int connections = 1;
    std::int64_t base = 0;      // the server's byte at the file's offset 0
    std::int64_t end = 0;       // one past the last wanted byte
    std::int64_t received = 0;  // body bytes stored by this run
    std::int64_t savedAt = 0;
    int retried = 0;
    int ending = 0;   // an outcome that ends the run: the result holds it
    int cutPending = 0;  // the file's unproven bytes go when the first byte lands
    int changed = 0;  // a part's reply showed another version of the file
    ProgressLine progress;
};

// What the loop keeps besides its blocks, made on the first hand-over: a
// run on one connection never pays for it. Each header section takes
// 64 KiB, of which a reply touches only the first pages.
struct PartsMemory {
    PartsLoop loop;
    HeaderSection sections[kMostConnections];
    TransferResult results[kMostConnections];
};
PartsMemory* memory = nullptr;
char block[kBodyBlockCapacity + 1];
PartsLoop* activeLoop = nullptr;

// Returns the part the slot fetches, or null.
FilePart* partOfSlot(PartsLoop& loop, int slot) {
    for (int index = 0; index < loop.list.count; ++index) {
        if (loop.list.parts[index].slot == slot) return &loop.list.parts[index];
    }
    return nullptr;
}

// Notes the first outcome that ends the run.
void endRun(PartsLoop& loop, int stage, const BoundedString& note) {
    if (loop.ending) return;
    loop.ending = 1;
    loop.result->stage = stage;
    loop.result->errorText = note;
}

// Ends the run on a failed call on the output or the state file. Returns 0.
int failFile(PartsLoop& loop, const char* call, int errorNumber) {
    BoundedString note;
    assignFormat(note, "%s: %s\n", call, std::strerror(errorNumber));
    endRun(loop, stageWriteFile, note);
    return 0;
}

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

void closeSlot(PartsLoop& loop, int slot) {
    FilePart* part = partOfSlot(loop, slot);
    if (part != nullptr) part->slot = -1;
    closeConnection(loop.slots[slot].connection);
    loop.slots[slot].inUse = 0;
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

// Ends the slot's attempt on a failure: the part is retried on its own,
// until its poor retries reach the limit, which ends the run.
void partFailed(PartsLoop& loop, int slot, int stage, const BoundedString& note) {
    FilePart* part = partOfSlot(loop, slot);
    std::int64_t gained = loop.slots[slot].gained;
    closeSlot(loop, slot);
    if (stageEndsRun(stage) || part == nullptr) {
        endRun(loop, stage, note);
        return;
    }
    loop.retried = 1;
    if (part->attempts > 1) part->poorRetries = gained < kProductiveBytes ? part->poorRetries + 1 : 1;
    int givesUp = part->poorRetries >= kPoorRetryLimit;
    // The run shows the refusal it ends on, as after one connection.
    if (!givesUp || stage != stageServerBusy) logAt(1, "%s\n", textOf(note));
    if (givesUp) {
        endRun(loop, stage, note);
        return;
    }
    planPartRetry(loop, *part, gained);
}

// Ends the slot's attempt on a failed or ended read: received is what the read returned.
void failReceive(PartsLoop& loop, int slot, int received) {
    TransferResult& result = memory->results[slot];
    if (received == 0) setLastSocketError(kSocketErrorDisconnected);
    failSocketCall(result, stageReceive, "recv");
    partFailed(loop, slot, stageReceive, result.errorText);
}

// Ends the slot's attempt when its reply reached the part's end (the part
// is done) or its own end before that (the rest is asked again).
void endReply(PartsLoop& loop, int slot, FilePart& part) {
    if (partDone(part)) {
        logAt(9, "Part %" PRId64 "-%" PRId64 " complete\n", part.first, part.end - 1);
        closeSlot(loop, slot);
        joinFinishedParts(loop.list);
        return;
    }
    BoundedString note;
    assignFormat(note, "recv: the partial reply ended at byte %" PRId64 ", before the end\n", part.next);
    partFailed(loop, slot, stageReceive, note);
}

// Where the slot's reply stops being stored: the part's end, which a
// split may have brought nearer, or the body's own.
std::int64_t stopOf(const PartsLoop& loop, int slot, const FilePart& part) {
    return part.end < loop.slots[slot].bodyEnd ? part.end : loop.slots[slot].bodyEnd;
}

// Counts bytes the file took for the part, then shows progress.
void noteStored(PartsLoop& loop, int slot, FilePart& part, std::int64_t count) {
    part.next += count;
    loop.slots[slot].gained += count;
    loop.slots[slot].lastActivity = monotonicMillis();
    loop.received += count;
    loop.result->bodyBytes = loop.received;
    showProgress(loop.progress, storedInParts(loop.list), loop.end - loop.base);
    if (part.next >= stopOf(loop, slot, part)) endReply(loop, slot, part);
}

// Cuts the file after its proven start before the first byte lands: until
// then a run that fails leaves the file as it was. Returns 1, or 0 after
// ending the run.
int cutBeforeFirstByte(PartsLoop& loop) {
    if (!loop.cutPending) return 1;
    loop.cutPending = 0;
    const char* failedCall = "";
    if (cutOutputFile(loop.request->output, loop.request->stored.count, &failedCall) != 0) {
        return failFile(loop, failedCall, errno);
    }
    return 1;
}

// Writes body bytes at the part's next offset, leaving out what lies past
// where the slot's reply stops. Returns 1, or 0 after ending the run.
int storeBytes(PartsLoop& loop, int slot, FilePart& part, const char* bytes, int count) {
    std::int64_t room = stopOf(loop, slot, part) - part.next;
    if (count > room) count = static_cast<int>(room);
    if (count <= 0) return 1;
    if (!cutBeforeFirstByte(loop)) return 0;
    std::FILE* output = loop.request->output;
    if (seekOutputFile(output, part.next - loop.base) != 0) return failFile(loop, "fseek", errno);
    if (std::fwrite(bytes, 1, static_cast<size_t>(count), output) < static_cast<size_t>(count)) {
        return failFile(loop, "fwrite", errno);
    }
    noteStored(loop, slot, part, count);
    return 1;
}

// Moves body bytes from the socket straight into the file at the part's
// offset. Returns what moveSocketBytesToFile returns.
int moveBody(PartsLoop& loop, int slot, FilePart& part) {
    std::int64_t room = stopOf(loop, slot, part) - part.next;
    int capacity = room < kBodyBlockCapacity ? static_cast<int>(room) : kBodyBlockCapacity;
    std::FILE* output = loop.request->output;
    if (seekOutputFile(output, part.next - loop.base) != 0) {
        failFile(loop, "fseek", errno);
        return kMoveFileRefused;
    }
    int written = 0;
    int moved = moveSocketBytesToFile(loop.slots[slot].connection.socket, output, capacity, written);
    if (moved == kMoveFileRefused) failFile(loop, "fwrite", errno);
    if (moved > 0) noteStored(loop, slot, part, moved);
    return moved;
}

// Reads body bytes and writes them at the part's offset. Returns the
// count read, 0 at an orderly close, -1 on failure.
int receiveBody(PartsLoop& loop, int slot, FilePart& part) {
    std::int64_t room = stopOf(loop, slot, part) - part.next;
    int capacity = room < kBodyBlockCapacity ? static_cast<int>(room) : kBodyBlockCapacity;
    int received = receiveOnConnection(loop.slots[slot].connection, block, capacity);
    if (received > 0) storeBytes(loop, slot, part, block, received);
    return received;
}

// Notes why a part's reply is not stored. Returns 0.
int refusePartReply(PartsLoop& loop, int slot, const FilePart& part) {
    const TransferResult& result = memory->results[slot];
    BoundedString note;
    if (result.replyStatus != 206) {
        assignFormat(note, "Reply not stored: status %d in place of bytes %" PRId64 "-%" PRId64 "\n",
                     result.replyStatus, part.next, part.end - 1);
    } else if (result.chunked) {
        assignText(note, "Reply not stored: the partial reply came in chunks\n");
    } else if (result.rangeStart < 0) {
        assignText(note, "Reply not stored: the partial reply does not say where it starts\n");
    } else {
        assignFormat(note, "Reply not stored: it starts at byte %" PRId64 ", not at byte %" PRId64 "\n",
                     result.rangeStart, part.next);
    }
    partFailed(loop, slot, stageReceive, note);
    return 0;
}

// Judges a part's reply once its header section ended. Returns 1 when its
// body is the part's next bytes of the same file.
int acceptPartReply(PartsLoop& loop, int slot, const FilePart& part, const HeaderSection& section) {
    TransferResult& result = memory->results[slot];
    if (loginRefused(*loop.request, result)) {
        closeSlot(loop, slot);
        endRun(loop, result.stage, result.errorText);
        return 0;
    }
    if (replyShowsChangedFile(loop.request->stored, result)) {
        closeSlot(loop, slot);
        loop.changed = 1;
        return 0;
    }
    if (result.replyStatus == 206 && result.rangeStart == part.next && !result.chunked) {
        loop.slots[slot].bodyEnd = result.rangeEnd + 1;
        return 1;
    }
    int status = result.replyStatus;
    if (loop.request->failOnError && status >= 400 && status != 416) {
        BoundedString note;
        noteServerRefusal(note, section);
        partFailed(loop, slot, isPassingFailure(status) ? stageServerBusy : stageServerRefused, note);
        return 0;
    }
    return refusePartReply(loop, slot, part);
}

// Reads the slot's header section on; at its end judges the reply and
// stores the body bytes that came with it.
void readHeaders(PartsLoop& loop, int slot, FilePart& part) {
    TransferResult& result = memory->results[slot];
    HeaderSection& section = memory->sections[slot];
    int received = receiveOnConnection(loop.slots[slot].connection, block, kHeaderBlockCapacity);
    if (received <= 0) return failReceive(loop, slot, received);
    block[received] = '\0';
    char* cursor = block;
    int unread = received;
    consumeHeaderBytes(section, result, cursor, unread);
    if (result.stage != stageCompleted) return partFailed(loop, slot, result.stage, result.errorText);
    // Until the section ends, the idle limit counts from the request: a
    // trickle of header bytes must not hold the connection for ever.
    if (section.inHeaders) return;
    loop.slots[slot].lastActivity = monotonicMillis();
    if (!acceptPartReply(loop, slot, part, section)) return;
    logAt(9, "Part %" PRId64 "-%" PRId64 ": receiving body...\n", part.first, part.end - 1);
    loop.slots[slot].phase = phaseBody;
    storeBytes(loop, slot, part, cursor, unread);
}

// The request of the part's gap as it stands: a split may have brought
// its end nearer since the connection began.
void composePartRequest(const PartsLoop& loop, const FilePart& part, TransferRequest& request) {
    request = *loop.request;
    request.kind = attemptResume;
    request.rangeFirst = part.next;
    request.rangeLast = part.end - 1;
    request.handOver = nullptr;
}

// Sends the part's request once its connection is open.
void sendPartRequest(PartsLoop& loop, int slot, const FilePart& part) {
    TransferRequest request;
    composePartRequest(loop, part, request);
    TransferResult& result = memory->results[slot];
    if (!sendRequest(loop.slots[slot].connection, request, result)) return partFailed(loop, slot, result.stage, result.errorText);
    loop.slots[slot].phase = phaseHeaders;
    loop.slots[slot].lastActivity = monotonicMillis();
}

// Takes the opening of the slot's connection on after its socket turned ready.
void openOn(PartsLoop& loop, int slot, const FilePart& part) {
    PartSlot& connection = loop.slots[slot];
    TransferResult& result = memory->results[slot];
    // Opening needs the address only, which every part shares.
    if (!continueOpening(connection.connection, connection.opening, *loop.request, result)) {
        return partFailed(loop, slot, result.stage, result.errorText);
    }
    connection.lastActivity = monotonicMillis();
    if (connection.opening.step == openingOpen) sendPartRequest(loop, slot, part);
}

// Returns 1 when the slot's socket has bytes to read now.
int readableNow(const PartSlot& connection) {
    SocketHandle socket = connection.connection.socket;
    int ready = 0;
    return waitForReadableSockets(&socket, nullptr, 1, &ready, 0) > 0;
}

// Reads body blocks while the socket has them, up to kBlocksPerTurn: on
// loopback, one socket read until it is empty costs less than a wait
// between blocks. Returns what the last read returned.
int readBodyBlocks(PartsLoop& loop, int slot) {
    PartSlot& connection = loop.slots[slot];
    // The first byte goes the plain way: the file is cut once it is there.
    int direct = connection.connection.tls == nullptr && !connection.plainWay && !loop.cutPending;
    int received = 0;
    for (int turn = 0; turn < kBlocksPerTurn; ++turn) {
        FilePart* part = partOfSlot(loop, slot);
        if (part == nullptr) break;
        received = direct ? moveBody(loop, slot, *part) : receiveBody(loop, slot, *part);
        if (received <= 0 || !connection.inUse || loop.ending || !readableNow(connection)) break;
    }
    return received;
}

// Reads what arrived on the slot's connection.
void serviceSlot(PartsLoop& loop, int slot) {
    FilePart* part = partOfSlot(loop, slot);
    if (part == nullptr) return;
    PartSlot& connection = loop.slots[slot];
    if (connection.phase == phaseOpening) return openOn(loop, slot, *part);
    if (connection.phase == phaseHeaders) return readHeaders(loop, slot, *part);
    int received = readBodyBlocks(loop, slot);
    if (received == kMoveUnavailable) {
        connection.plainWay = 1;
        return;
    }
    if (loop.ending || !connection.inUse) return;
    if (received <= 0) failReceive(loop, slot, received < 0 ? -1 : 0);
}

// Readies the header section of a slot for a new reply, touching only
// the fields a reply starts from.
void resetSection(HeaderSection& section) {
    section.lineStart = 0;
    section.lineLength = 0;
    section.inHeaders = 1;
    section.firstLine = 1;
    section.interim = 0;
}

// Begins a connection on the slot that asks for the part's gap.
void startPart(PartsLoop& loop, int partIndex, int slot) {
    FilePart& part = loop.list.parts[partIndex];
    logAt(9, "Part %" PRId64 "-%" PRId64 ": asking for bytes %" PRId64 "-%" PRId64 " on connection %d\n", part.first,
          part.end - 1, part.next, part.end - 1, slot + 1);
    PartSlot& connection = loop.slots[slot];
    connection = PartSlot();
    connection.inUse = 1;
    connection.lastActivity = monotonicMillis();
    part.slot = slot;
    ++part.attempts;
    resetSection(memory->sections[slot]);
    TransferResult& result = memory->results[slot];
    resetResult(result);
    if (!beginOpening(connection.connection, connection.opening, *loop.request, result)) {
        return partFailed(loop, slot, result.stage, result.errorText);
    }
    if (connection.opening.step == openingOpen) sendPartRequest(loop, slot, part);
}

int freeSlot(const PartsLoop& loop) {
    for (int slot = 0; slot < loop.connections; ++slot) {
        if (!loop.slots[slot].inUse) return slot;
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
// passing, a pause ending, the state file's turn.
std::int64_t nextDeadline(const PartsLoop& loop) {
    std::int64_t deadline = loop.savedAt + kSaveEveryMillis;
    std::int64_t idle = loop.settings->idleLimitMillis;
    for (int slot = 0; slot < loop.connections; ++slot) {
        const PartSlot& connection = loop.slots[slot];
        if (connection.inUse && idle > 0 && connection.lastActivity + idle < deadline) {
            deadline = connection.lastActivity + idle;
        }
    }
    for (int index = 0; index < loop.list.count; ++index) {
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
        if (!connection.inUse || now - connection.lastActivity < idle) continue;
        TransferResult& result = memory->results[slot];
        setLastSocketError(kSocketErrorTimedOut);
        if (connection.phase == phaseOpening) {
            failOpening(connection.connection, connection.opening, *loop.request, result);
        } else {
            failSocketCall(result, stageReceive, "recv");
        }
        partFailed(loop, slot, result.stage, result.errorText);
    }
}

// Returns 1 when TLS holds bytes of the slot's reply, which never turn the
// socket readable; a handshake under way holds none to read.
int holdsTlsBytes(const PartSlot& connection) {
    return connection.phase != phaseOpening && connection.connection.tls != nullptr &&
           tlsHasBufferedBytes(connection.connection.tls);
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
    slot.inUse = 1;
    slot.phase = phaseBody;
    slot.bodyEnd = handOver.bodyEnd;
    slot.lastActivity = monotonicMillis();
    part.slot = 0;
    part.attempts = 1;
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
        if (loop.slots[0].inUse) storeBytes(loop, 0, loop.list.parts[0], handOver.pending, handOver.pendingCount);
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
