// The state file beside a regular output file, "<file>.webhaul": which
// version of the server's file the output holds and which of its bytes, so
// that a later run with -c asks only for what is missing and never splices
// two versions. A file fetched in parts names its stored ranges; a file
// fetched on one connection is its own continuous start, so its state file
// names none and the file's size tells how far it reaches.
#pragma once

#include <cstdint>

#include "http/transfer.h"
#include "support/bounded_string.h"

// Room for every part a run can hold at once: one per connection and the
// finished one at the end, or the ranges a state file names.
const int kMostParts = 64;

struct PartsState {
    BoundedString address;       // the address the command line named
    BoundedString partsAddress;  // the address the parts went to; "": one connection
    std::int64_t totalLength = -1;  // -1: unknown, only on one connection
    std::int64_t firstByte = 0;  // where the file begins in the server's file
    std::int64_t lastByte = -1;  // the last byte wanted; -1: to the end of the file
    char validator[kValidatorCapacity] = {};
    int validatorIsTag = 0;
    int prefix = 0;  // 1: the file holds a continuous start, as long as the file is
    std::int64_t starts[kMostParts] = {};  // the stored ranges [starts[i], ends[i]), in order
    std::int64_t ends[kMostParts] = {};
    int rangeCount = 0;
};

// What readPartsState finds.
enum StateReading {
    stateMissing,     // no file of that name
    stateRead,        // a state file, whole
    stateUnreadable,  // a file that cannot be read or is no state file; a pipe is never opened
};

// Names the state file of the output file, or leaves name empty for an
// output that must never get one (a device, such as /dev/stdout).
void partsStateName(const char* outputName, BoundedString& name);

// Makes state the content of the state file. Returns 1, or 0 with the
// note "<call>: <reason>\n" of the call that failed.
int writePartsState(const char* name, const PartsState& state, BoundedString& note);

// Reads the state file. Returns a StateReading; state is whole only for
// stateRead, though its ranges up to the first fault are kept.
int readPartsState(const char* name, PartsState& state);

// Fills the version lines of a state file from a description of stored bytes.
void takeVersion(const StoredBytes& stored, PartsState& state);

// Brings the state file of an output fetched on one connection in line
// with the stored bytes, whose start the file holds: names their version,
// or is removed when they have none to name (an error page, a reply
// without length or validator). A state file that cannot be written is
// given up for the rest of the run, without touching the output. Returns
// 1, or 0 when the state file cannot be kept (handOver's stateProblem says why).
int recordOneConnectionState(PartsHandOver& handOver, const StoredBytes& stored);
