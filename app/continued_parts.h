// Continuing (-c) a file that an earlier run left: its state file says which
// version of the server's file it holds and which of its bytes, and nothing
// past a gap is trusted without it.
#pragma once

#include <cstdint>

#include "app/file_parts.h"
#include "http/transfer.h"

// What continueFromState decides.
enum ContinuedState {
    continueFromSize,   // no state file: the file's size is its continuous start
    continueWithPlan,   // the state file's ranges are the plan; the request asks from the first gap
    continueFromProven, // the request asks from the start the state file proves
};

// Makes the stored start of a continued file take in every range of the
// plan that it reaches, and the request ask for the gap after it (only
// that gap: the bytes past it are in the file already).
void continuePlan(TransferRequest& request, PartsState& plan);

// Makes the first request ask for the rest of the asked range after the
// count bytes the kept file holds at its start; with none, the request
// stays as without -c.
void continueKeptBytes(TransferRequest& request, std::int64_t count);

// Reads the state file of the kept output, which holds size bytes, and
// readies the first request from it: the ranges of a file fetched in parts
// become the plan, and the start of a file fetched on one connection is
// continued with its version checked. A state file for another address or
// range, unreadable or naming bytes the file does not hold is ignored with
// a level-1 line: only the start it proves (nothing when it cannot be read)
// counts, and the file is left as it is until a reply's bytes replace it.
// Returns a ContinuedState.
int continueFromState(TransferRequest& request, std::int64_t size, PartsState& plan);
