// One connection of the loop of parts: its opening without a wait, the
// part's request, the header section and its judgement, and the body's
// bytes written at their offset. Nothing here waits for a socket: the
// loop calls in only when a socket turned ready, and a TLS record that
// has not arrived whole is left for the next turn.
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "app/parts_loop.h"
#include "http/authorization.h"
#include "http/stored_bytes.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

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

char block[kBodyBlockCapacity + 1];

// Notes that bytes arrived on the slot's connection.
void noteArrival(PartsLoop& loop, int slot) { loop.slots[slot].lastActivity = monotonicMillis(); }

// Ends the slot's attempt on a failed or ended read: received is what the
// read returned. Before the header section ended, that is a refusal.
void failReceive(PartsLoop& loop, int slot, int received) {
    TransferResult& result = loop.results[slot];
    if (received == 0) setLastSocketError(kSocketErrorDisconnected);
    failSocketCall(result, stageReceive, "recv");
    partFailed(loop, slot, stageReceive, result.errorText, loop.slots[slot].phase != phaseBody);
}

// Where the slot's reply stops being stored: the part's end, which a
// split may have brought nearer, or the body's own.
std::int64_t stopOf(const PartsLoop& loop, int slot, const FilePart& part) {
    return part.end < loop.slots[slot].bodyEnd ? part.end : loop.slots[slot].bodyEnd;
}

// The room left in the part for the slot's reply, at most a body block.
int roomFor(const PartsLoop& loop, int slot, const FilePart& part) {
    std::int64_t room = stopOf(loop, slot, part) - part.next;
    return room < kBodyBlockCapacity ? static_cast<int>(room) : kBodyBlockCapacity;
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

// Counts bytes the file took for the part, then shows progress.
void noteStored(PartsLoop& loop, int slot, FilePart& part, std::int64_t count) {
    PartSlot& connection = loop.slots[slot];
    part.next += count;
    connection.gained += count;
    connection.lastActivity = monotonicMillis();
    connection.storedAt = connection.lastActivity;
    loop.received += count;
    loop.result->bodyBytes = loop.received;
    showProgress(loop.progress, storedInParts(loop.list), loop.end - loop.base);
    if (part.next >= stopOf(loop, slot, part)) partReachedStop(loop, slot, part);
}

// Moves body bytes from the socket straight into the file at the part's
// offset. Returns what moveSocketBytesToFile returns.
int moveBody(PartsLoop& loop, int slot, FilePart& part) {
    std::FILE* output = loop.request->output;
    if (seekOutputFile(output, part.next - loop.base) != 0) {
        failFile(loop, "fseek", errno);
        return kMoveFileRefused;
    }
    int written = 0;
    int moved = moveSocketBytesToFile(loop.slots[slot].connection.socket, output, roomFor(loop, slot, part), written);
    if (moved == kMoveFileRefused) failFile(loop, "fwrite", errno);
    if (moved > 0) noteStored(loop, slot, part, moved);
    return moved;
}

// Reads body bytes and writes them at the part's offset. Returns the
// count read, 0 at an orderly close, -1 on failure, kReceiveWouldWait
// when only part of a TLS record arrived.
int receiveBody(PartsLoop& loop, int slot, FilePart& part) {
    int received = receiveNowOnConnection(loop.slots[slot].connection, block, roomFor(loop, slot, part));
    if (received > 0) storeBytes(loop, slot, block, received);
    return received;
}

// Notes why a part's reply is not stored: it answers with something else
// than the part's bytes, which refuses the range.
void refusePartReply(PartsLoop& loop, int slot, const FilePart& part) {
    const TransferResult& result = loop.results[slot];
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
    partFailed(loop, slot, stageReceive, note, 1);
}

// Judges a part's reply once its header section ended. Returns 1 when its
// body is the part's next bytes of the same file.
int acceptPartReply(PartsLoop& loop, int slot, const FilePart& part, const HeaderSection& section) {
    TransferResult& result = loop.results[slot];
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
        // A busy server refuses the part's range as a 503 does without -f.
        partFailed(loop, slot, isPassingFailure(status) ? stageServerBusy : stageServerRefused, note, 1);
        return 0;
    }
    refusePartReply(loop, slot, part);
    return 0;
}

// Reads the slot's header section on; at its end judges the reply and
// stores the body bytes that came with it.
void readHeaders(PartsLoop& loop, int slot, FilePart& part) {
    TransferResult& result = loop.results[slot];
    HeaderSection& section = loop.sections[slot];
    // Until the section ends, the idle limit counts from the request: a
    // trickle of header bytes must not hold the connection for ever.
    int received = receiveNowOnConnection(loop.slots[slot].connection, block, kHeaderBlockCapacity);
    if (received == kReceiveWouldWait) return;
    if (received <= 0) return failReceive(loop, slot, received);
    block[received] = '\0';
    char* cursor = block;
    int unread = received;
    startOwnLine(loop, 4);  // the status and header lines
    consumeHeaderBytes(section, result, cursor, unread);
    if (result.stage != stageCompleted) return partFailed(loop, slot, result.stage, result.errorText, 0);
    if (section.inHeaders) return;
    noteArrival(loop, slot);
    if (!acceptPartReply(loop, slot, part, section)) return;
    logAt(9, "Part %" PRId64 "-%" PRId64 ": receiving body...\n", part.first, part.end - 1);
    loop.slots[slot].phase = phaseBody;
    storeBytes(loop, slot, cursor, unread);
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
    startOwnLine(loop, 9);
    TransferResult& result = loop.results[slot];
    if (!sendRequest(loop.slots[slot].connection, request, result)) {
        return partFailed(loop, slot, result.stage, result.errorText, 1);
    }
    loop.slots[slot].phase = phaseHeaders;
    noteArrival(loop, slot);
}

// Returns 1 when a failed opening was refused by the server, rather than
// cut by silence or refused for good.
int openingRefused(const TransferResult& result) { return result.stage == stageConnect; }

// Takes the opening of the slot's connection on after its socket turned
// ready, or, when the address stayed silent, on to the next address.
void openOn(PartsLoop& loop, int slot, const FilePart& part, int silent) {
    PartSlot& connection = loop.slots[slot];
    TransferResult& result = loop.results[slot];
    startOwnLine(loop, 9);
    // Opening needs the address only, which every part shares.
    int going = silent ? openNextAddress(connection.connection, connection.opening, *loop.request, result)
                       : continueOpening(connection.connection, connection.opening, *loop.request, result);
    if (!going) return partFailed(loop, slot, result.stage, result.errorText, !silent && openingRefused(result));
    noteArrival(loop, slot);
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

// Readies the header section of a slot for a new reply, touching only
// the fields a reply starts from.
void resetSection(HeaderSection& section) {
    section.lineStart = 0;
    section.lineLength = 0;
    section.inHeaders = 1;
    section.firstLine = 1;
    section.interim = 0;
}

}  // namespace

void serviceSlot(PartsLoop& loop, int slot) {
    FilePart* part = partOfSlot(loop, slot);
    if (part == nullptr) return;
    PartSlot& connection = loop.slots[slot];
    if (connection.phase == phaseOpening) return openOn(loop, slot, *part, 0);
    if (connection.phase == phaseHeaders) return readHeaders(loop, slot, *part);
    int received = readBodyBlocks(loop, slot);
    if (received == kMoveUnavailable) {
        connection.plainWay = 1;
        return;
    }
    // A file that refused bytes ended the run already: what is left below
    // is the connection's own.
    if (loop.ending || !connection.inUse) return;
    if (received == kReceiveWouldWait) return noteArrival(loop, slot);
    if (received <= 0) failReceive(loop, slot, received < 0 ? -1 : 0);
}

void storeBytes(PartsLoop& loop, int slot, const char* bytes, int count) {
    // The first reply may read on past the part's end: what lies past it
    // is stored once the part reaches further.
    while (count > 0 && loop.slots[slot].inUse && !loop.ending) {
        FilePart* part = partOfSlot(loop, slot);
        if (part == nullptr) return;
        std::int64_t room = stopOf(loop, slot, *part) - part->next;
        if (room <= 0) return;
        int piece = count < room ? count : static_cast<int>(room);
        if (!cutBeforeFirstByte(loop)) return;
        std::FILE* output = loop.request->output;
        if (seekOutputFile(output, part->next - loop.base) != 0) {
            failFile(loop, "fseek", errno);
            return;
        }
        if (std::fwrite(bytes, 1, static_cast<size_t>(piece), output) < static_cast<size_t>(piece)) {
            failFile(loop, "fwrite", errno);
            return;
        }
        noteStored(loop, slot, *part, piece);
        bytes += piece;
        count -= piece;
    }
}

void closeSlot(PartsLoop& loop, int slot) {
    FilePart* part = partOfSlot(loop, slot);
    if (part != nullptr) part->slot = -1;
    closeConnection(loop.slots[slot].connection);
    loop.slots[slot].inUse = 0;
}

void startPart(PartsLoop& loop, int partIndex, int slot) {
    FilePart& part = loop.list.parts[partIndex];
    startOwnLine(loop, 9);
    logAt(9, "Part %" PRId64 "-%" PRId64 ": asking for bytes %" PRId64 "-%" PRId64 " on connection %d\n", part.first,
          part.end - 1, part.next, part.end - 1, slot + 1);
    PartSlot& connection = loop.slots[slot];
    std::int64_t storedAt = connection.storedAt;
    connection = PartSlot();
    connection.storedAt = storedAt;
    connection.inUse = 1;
    connection.lastActivity = monotonicMillis();
    connection.fileAtStart = loop.received;
    part.slot = slot;
    resetSection(loop.sections[slot]);
    TransferResult& result = loop.results[slot];
    resetResult(result);
    if (!beginOpening(connection.connection, connection.opening, *loop.request, result, loop.firstAddress)) {
        return partFailed(loop, slot, result.stage, result.errorText, openingRefused(result));
    }
    if (connection.opening.step == openingOpen) sendPartRequest(loop, slot, part);
}

void timeOutSlot(PartsLoop& loop, int slot) {
    PartSlot& connection = loop.slots[slot];
    TransferResult& result = loop.results[slot];
    FilePart* part = partOfSlot(loop, slot);
    setLastSocketError(kSocketErrorTimedOut);
    if (connection.phase == phaseOpening && connection.opening.step == openingConnect && part != nullptr) {
        return openOn(loop, slot, *part, 1);
    }
    if (connection.phase == phaseOpening) {
        failOpening(connection.connection, connection.opening, *loop.request, result);
    } else {
        failSocketCall(result, stageReceive, "recv");
    }
    partFailed(loop, slot, result.stage, result.errorText, 0);
}

int holdsTlsBytes(const PartSlot& connection) {
    // A handshake under way holds none to read.
    return connection.phase != phaseOpening && connection.connection.tls != nullptr &&
           tlsHasBufferedBytes(connection.connection.tls);
}
