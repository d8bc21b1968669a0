// Where a reply's body lands in the output: at the offset of its bytes in
// the server's file, with nothing past it that no reply proved, and the
// state file naming the version it belongs to.
#pragma once

#include "http/transfer.h"

// Readies the output for the first byte of a body that the reply stores as
// use (a ReplyUse) says, or for a body that came whole without any: the
// stored bytes' description becomes the reply's, the output is cut where
// the body's first stored byte goes (what lay past that is proven by
// nothing) or, where a state file names ranges past a gap, only placed
// there, and the state file of one connection names the version. Returns
// 1, or 0 with the failed call named in failedCall and errno set.
int placeBodyInOutput(TransferRequest& request, const TransferResult& result, int use, const char** failedCall);

// Returns 1 when readying the output for a body stored as use says would
// cut bytes from it: that must wait for the body's first byte, so that a
// reply that breaks before it leaves the file as it was.
int placingCutsOutput(const TransferRequest& request, int use);

// Empties the output for a reply to HEAD that replaces a file the run did
// not continue, and removes its state file. Returns as placeBodyInOutput.
int emptyForHeaders(TransferRequest& request, const char** failedCall);
