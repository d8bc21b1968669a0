// One attempt that follows redirects: the request goes on to the address
// each Location names, up to 20 times, and a retry asks the address the
// redirects led to.
#pragma once

#include "app/server_argument.h"
#include "http/transfer.h"

// Writes the request's address as an absolute URL: the base of a
// Location, and the address a state file names.
void composeAddress(const TransferRequest& request, BoundedString& address);

// Fills the addresses from a numeric address or a host lookup (traced at
// level 9). Returns 1, or 0 with the lookup code as last socket error.
int lookUpHost(const BoundedString& host, int port, AddressList& addresses);

// Decides how the request's address is reached: through the proxy of its
// scheme (looked up once) unless the exceptions name the host, or
// directly (the host looked up). Returns 1, or 0 with the lookup code as
// last socket error.
int routeRequest(TransferRequest& request);

// Makes the request's target the user's address, as the run's start
// routed it, for the first attempt and any that starts the chain afresh.
void setOrigin(TransferRequest& request);

// Makes one attempt, following redirects. Starts at the user's address
// when the request says so (a restart, -c, an address that failed after
// redirects). Returns as fetchOnce does; a redirect not followed ends with
// stageRedirectRefused.
int fetchFollowing(TransferRequest& request, TransferResult& result);
