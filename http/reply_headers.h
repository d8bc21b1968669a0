// The header section of a reply: lines put together across receive blocks,
// interim replies read and dropped, and the things the program reads from
// the final reply's lines.
#pragma once

#include <cstdint>

#include "http/transfer.h"

// The most bytes the status lines and headers of one reply take together,
// interim sections included. A longer header section is no reply: the
// attempt fails rather than read on for ever.
const int kHeaderSectionLimit = 64 * 1024;

struct HeaderSection {
    // The status line, its terminating zero, then the line being put
    // together. Both lie inside the section, so the limit bounds them and
    // no line is ever cut.
    char text[kHeaderSectionLimit + 2];
    int lineStart = 0;   // where the line being put together begins in text
    int lineLength = 0;
    int inHeaders = 1;
    int firstLine = 1;   // the next line is a status line
    int interim = 0;     // the section is a 1xx reply's, to be dropped
};

// Takes complete lines from the unread bytes at cursor until the header
// section ends, the bytes run out or the reply proves malformed (stage and
// errorText set): a line with a control byte is. Moves cursor and unread
// past what it took.
void consumeHeaderBytes(HeaderSection& section, TransferResult& result, char*& cursor, int& unread);

// Returns the status line of the final reply, once it was read.
const char* statusLineOf(const HeaderSection& section);

// Writes the line that says -f refused the section's reply into note.
void noteServerRefusal(BoundedString& note, const HeaderSection& section);
// Sets note to front, the final reply's status line escaped for the
// terminal, then back (front and back may be "").
void noteStatusLine(const HeaderSection& section, const char* front, const char* back, BoundedString& note);
