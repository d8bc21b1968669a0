// The server argument: a host name, dotted address or bracketed IPv6
// address with an optional ":port", or an http:// or https:// URL that
// names the path as well. Nothing in it may add a header or a request to
// the one sent.
#pragma once

#include "http/transfer.h"
#include "support/bounded_string.h"

struct ServerArgument {
    BoundedString host;  // as given: the Host line repeats it
    int port = kDefaultHttpPort;
    int secure = 0;  // https://
    BoundedString path;  // the URL's request target; empty when none is named
    BoundedString login;  // the URL's user information as Basic credentials; "": none
};

// Splits a server argument into host, port and path. Returns 1, or 0 with
// problem set to the level-1 line (newline included) that names the fault.
int parseServerArgument(const char* text, ServerArgument& server, BoundedString& problem);

// Returns 1 when the text begins with "http://" or "https://" in any case.
int isWebUrl(const char* text);

// Takes length bytes of a request path (the path argument, or a URL's path
// and query) as the path to send: spaces as "%20". Returns 1, or 0 with the
// problem when it holds a control character or is longer than the string
// cap as sent.
int takeRequestPath(const char* text, int length, BoundedString& path, BoundedString& problem);

// The line that refuses an IPv6 address where the platform has none.
extern const char kNoIpv6Line[];
