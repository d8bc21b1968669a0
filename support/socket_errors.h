// Short texts for the socket layer's error codes and its host lookup
// codes, and the ways the program turns the last socket error into words.
#pragma once

#include "support/bounded_string.h"

// The code the socket layer reports when a peer closed the connection in
// order before the reply was complete.
const int kSocketErrorDisconnected = 10101;
// The code of a connection that stayed silent past the idle limit.
const int kSocketErrorTimedOut = 10060;

// Returns the text for a socket error code, or null for a code without one.
const char* socketErrorText(int code);

// Returns the text for the socket layer's last error; "" when it has none.
BoundedString lastSocketErrorText();

// Writes "<what>: <last socket error text>" at level 1, with no newline.
void reportFailure(const char* what);

// Returns the text for a host lookup code (11001 to 11004), or null.
const char* lookupErrorText(int code);

// Returns the text for a failed host lookup's code: its lookup text, else
// its socket text; null for a code with neither.
const char* lookupFailureText(int code);

// Writes "<what>: <reason>\n" at level 1 for a failed host lookup: the
// lookup text of the last socket error, else its socket text.
void reportLookupFailure(const char* what);
