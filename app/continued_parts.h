// Continuing (-c) a file that an earlier run fetched in parts: its state
// file says which ranges the file holds, and nothing past a gap is
// trusted without it.
#pragma once

#include <cstdint>

#include "app/parts_state.h"
#include "http/transfer.h"

// What continueFromState decides.
enum ContinuedState {
    continueFromSize,   // no state file: the file's size is its continuous start
    continueWithPlan,   // the state file's ranges are the plan; the request asks from the first gap
    continueFailed,     // a call on the file failed, after the level-1 line
};

// Reads the state file of the kept output, which holds size bytes. A state
// file for another address or range, unreadable or naming bytes past the
// file is ignored with a level-1 line: the file is then cut to the leading
// bytes it proves (nothing when it names none) and the state file removed.
// Returns a ContinuedState.
int continueFromState(TransferRequest& request, const BoundedString& address, std::int64_t size, PartsState& plan);
