// The loop of several connections as its two files share it: the
// connections (slots) beside the parts they fetch, and the calls by which
// the servicing of one connection (parts_connection.cpp) and the loop's
// own decisions (parts_run.cpp) reach each other.
#pragma once

#include <cstdint>

#include "app/file_parts.h"
#include "app/parts_run.h"
#include "http/connection.h"
#include "http/progress_line.h"
#include "http/reply_headers.h"
#include "http/state_file.h"

const int kMostConnections = 16;

// Where a connection stands.
enum SlotPhase { phaseOpening, phaseHeaders, phaseBody };

struct PartSlot {
    int inUse = 0;
    int phase = phaseOpening;
    int plainWay = 0;    // the output takes no bytes straight from the socket
    int handedOver = 0;  // the run's first reply, whose failure is no poor retry
    int readsOn = 0;     // that reply is the whole file: it goes on into parts nobody has begun
    int dropped = 0;     // refused while others worked: not used again in the run
    Connection connection;
    Opening opening;
    std::int64_t bodyEnd = 0;       // one past the last byte the reply's body holds
    std::int64_t lastActivity = 0;  // when bytes last arrived, or the attempt began
    std::int64_t storedAt = 0;      // when the connection last stored bytes, in any attempt; 0: never
    std::int64_t gained = 0;        // bytes this attempt stored
    std::int64_t fileAtStart = 0;   // what the run had stored when this attempt began
};

struct PartsLoop {
    TransferRequest* request = nullptr;
    TransferResult* result = nullptr;
    const PartsSettings* settings = nullptr;
    PartList list;
    PartsState state;
    PartSlot slots[kMostConnections];
    HeaderSection* sections = nullptr;  // one for each slot
    TransferResult* results = nullptr;  // one for each slot
    int connections = 1;
    int firstAddress = 0;       // the request's address the parts connect to first
    std::int64_t base = 0;      // the server's byte at the file's offset 0
    std::int64_t end = 0;       // one past the last wanted byte
    std::int64_t received = 0;  // body bytes stored by this run
    std::int64_t savedAt = 0;
    int retried = 0;
    int poorFailures = 0;  // failed attempts in a row during which the file grew by less than kProductiveBytes
    int ending = 0;        // an outcome that ends the run: the result holds it
    int cutPending = 0;    // the file's unproven bytes go when the first byte lands
    int changed = 0;       // a part's reply showed another version of the file
    ProgressLine progress;
};

// Returns the part the slot fetches, or null.
FilePart* partOfSlot(PartsLoop& loop, int slot);

// Notes the first outcome that ends the run.
void endRun(PartsLoop& loop, int stage, const BoundedString& note);

// Ends the run on a failed call on the output or the state file. Returns 0.
int failFile(PartsLoop& loop, const char* call, int errorNumber);

// Ends the progress line's current line, when a line at level would follow it.
void startOwnLine(PartsLoop& loop, int level);

// Ends the slot's attempt on a failure: the part is asked again, unless
// the failure ends the run or the run gives up. refused says that the
// connection was refused before its reply's first body byte: while
// another connection works, the slot is then dropped instead.
void partFailed(PartsLoop& loop, int slot, int stage, const BoundedString& note, int refused);

// Ends the slot's attempt when its reply reached where it stops storing:
// the part is done (or the first reply reads on into the next part), or
// the reply ended before the part's end and the rest is asked again.
void partReachedStop(PartsLoop& loop, int slot, FilePart& part);

// Closes the slot's connection; its part waits for another.
void closeSlot(PartsLoop& loop, int slot);

// Begins a connection on the slot that asks for the part's gap.
void startPart(PartsLoop& loop, int partIndex, int slot);

// Reads what arrived on the slot's connection, or takes its opening on.
void serviceSlot(PartsLoop& loop, int slot);

// Writes body bytes of the slot's reply at the part's next offset, leaving
// out what lies past where the reply stops storing.
void storeBytes(PartsLoop& loop, int slot, const char* bytes, int count);

// Fails the slot's attempt for silence past the idle limit.
void timeOutSlot(PartsLoop& loop, int slot);

// Returns 1 when TLS holds bytes of the slot's reply, which never turn the
// socket readable.
int holdsTlsBytes(const PartSlot& connection);
