// Text from outside (a server, a proxy, a certificate, the command line)
// as the program shows it: a byte that could move the cursor, clear the
// screen or set a terminal's title never reaches the terminal as itself.
#pragma once

#include "support/bounded_string.h"

// Appends bytes to text, each byte below 0x20 except TAB, 0x7F, and every byte of 0x80 and above written as \xNN (two lowercase hex digits).
void appendEscaped(BoundedString& text, const char* bytes, int count);

// Appends the first limit of the count bytes as appendEscaped does, then
// "..." when there were more: a line that repeats them stays short.
void appendEscapedCut(BoundedString& text, const char* bytes, int count, int limit);

// Returns an escaped copy of a zero-terminated text (null reads as ""), for
// one log line.
BoundedString escapedCopy(const char* text);
