// The hand-over of a reply to the loop that fetches a file over several
// connections: which replies can be split, and the open connection and
// early body bytes that the loop takes over.
#pragma once

#include "http/connection.h"
#include "http/transfer.h"

// The smallest part a connection is given.
const std::int64_t kSmallestPart = std::int64_t(1) << 20;

// Returns 1 when the reply whose header section just ended goes to the
// loop of several connections. When the run asked for several and the
// reply cannot be split, says why at level 3, once.
int replyGoesToParts(TransferRequest& request, const TransferResult& result, int use);

// Gives the connection and the body bytes that came with the header
// section to the request's hand-over; the connection is left closed here.
void handReplyOver(Connection& connection, TransferRequest& request, const TransferResult& result, const char* bytes,
                   int count);
