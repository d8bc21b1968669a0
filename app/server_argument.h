// The server argument: a host name or dotted address with an optional
// ":port", or an http:// URL that names the path as well.
#pragma once

#include "http/transfer.h"
#include "support/bounded_string.h"

struct ServerArgument {
    BoundedString host;  // as given: the Host line repeats it
    int port = kDefaultHttpPort;
    BoundedString path;  // the URL's request target; empty when none is named
};

// Splits a server argument into host, port and path. Returns 1, or 0 with
// problem set to the level-1 line (newline included) that names the fault.
int parseServerArgument(const char* text, ServerArgument& server, BoundedString& problem);
