// The state file beside a file fetched in parts, "<file>.webhaul": what a
// later run with -c needs to ask only for the missing ranges, and to trust
// no byte past a gap that the file cannot vouch for itself.
#pragma once

#include <cstdint>

#include "app/file_parts.h"
#include "http/transfer.h"
#include "support/bounded_string.h"

struct PartsState {
    BoundedString address;       // the address the command line named
    BoundedString partsAddress;  // the address the parts went to
    std::int64_t totalLength = -1;
    std::int64_t firstByte = 0;  // where the file begins in the server's file
    std::int64_t lastByte = -1;  // the last byte wanted; -1: to the end of the file
    char validator[kValidatorCapacity] = {};
    int validatorIsTag = 0;
    std::int64_t starts[kMostParts] = {};  // the stored ranges [starts[i], ends[i]), in order
    std::int64_t ends[kMostParts] = {};
    int rangeCount = 0;
};

// What readPartsState finds.
enum StateReading { stateMissing, stateRead, stateUnreadable };

// Names the state file of the output file.
void partsStateName(const char* outputName, BoundedString& name);

// Takes each part's stored bytes as the state's ranges.
void takeStoredRanges(const PartList& list, PartsState& state);

// Makes state the content of the state file. Returns 1, or 0 with the
// note "<call>: <reason>\n" of the call that failed.
int writePartsState(const char* name, const PartsState& state, BoundedString& note);

// Reads the state file. Returns a StateReading; state is whole only for
// stateRead, though its ranges up to the first fault are kept.
int readPartsState(const char* name, PartsState& state);
