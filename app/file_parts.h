// The parts of a file fetched over several connections: which bytes of
// each are stored, which are still wanted, and how the rest is shared out.
// The parts lie side by side, in order, from the first wanted byte to one
// past the last: each holds its stored bytes first, then its gap.
#pragma once

#include <cstdint>

#include "http/state_file.h"

struct FilePart {
    std::int64_t first = 0;  // the part's first byte in the server's file
    std::int64_t next = 0;   // the first byte not stored yet
    std::int64_t end = 0;    // one past the part's last byte
    int slot = -1;           // the connection that fetches it; -1: none
    std::int64_t pauseMillis = -1; // the coming pause after a poor attempt; -1: the first
    std::int64_t resumeAt = 0;     // no connection before this time
};

struct PartList {
    FilePart parts[kMostParts];
    int count = 0;
};

// Returns 1 when every wanted byte of the part is stored.
inline int partDone(const FilePart& part) { return part.next >= part.end; }

// Cuts the bytes from first to end, of which those before held are stored,
// into at most connections parts of smallest bytes or more: the stored
// bytes open the first part.
void cutIntoParts(PartList& list, std::int64_t first, std::int64_t held, std::int64_t end, int connections,
                  std::int64_t smallest);

// Makes the parts from stored ranges [starts[i], ends[i]), in order and
// apart, inside first..end. Returns 1, or 0 when a range lies outside or
// out of order, or there are more than the list holds.
int partsFromRanges(PartList& list, std::int64_t first, std::int64_t end, const std::int64_t* starts,
                    const std::int64_t* ends, int count);

// Gives the second half of the gap of the part with the largest gap to a
// new part after it, when that gap has more than larger bytes. Returns the
// new part's index, or -1 when no gap is that large.
int splitLargestGap(PartList& list, std::int64_t larger);

// Returns the index of the part after index when none of its bytes is
// stored and it ends at or before limit, else -1.
int untouchedNextPart(const PartList& list, int index, std::int64_t limit);

// Joins the part after index to it: the part at index then reaches that
// part's end.
void joinNextPart(PartList& list, int index);

// Joins each finished part that has no connection to the part after it,
// so that finished parts do not pile up.
void joinFinishedParts(PartList& list);

// Returns the count of stored bytes in all parts.
std::int64_t storedInParts(const PartList& list);

// Returns 1 when no part has a gap.
int allPartsDone(const PartList& list);

// Takes each part's stored bytes as the state's ranges.
void takeStoredRanges(const PartList& list, PartsState& state);
