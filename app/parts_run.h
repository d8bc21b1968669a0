// The loop that fetches a file over several connections at once: one
// thread, each connection's socket in one wait, each part's bytes written
// at their offset, each part retried on its own, and the state file kept
// beside the output so that a later run asks only for what is missing.
#pragma once

#include <cstdint>

#include "app/file_parts.h"
#include "http/transfer.h"

// What fetchInParts ends with.
enum PartsOutcome {
    partsComplete,     // every part is stored
    partsEnded,        // a part gave up or its outcome ends the run: result holds it
    partsFileChanged,  // a part's reply showed another version of the file
};

struct PartsSettings {
    std::int64_t idleLimitMillis = 0;   // 0: a silent connection is waited for for ever
    std::int64_t firstPauseMillis = 0;  // before a part's first poor retry
};

// Takes over the reply the request's hand-over holds and fetches the rest
// of the file in parts. Returns a PartsOutcome; retried is set when any
// part needed a retry, and request.stored describes the bytes from the
// file's start up to its first gap.
int fetchInParts(TransferRequest& request, TransferResult& result, const PartsSettings& settings, int& retried);

// Writes out the bytes of the loop that runs, if any, and then its state
// file: for an interrupt, which ends the process.
void savePartsBeforeExit();
