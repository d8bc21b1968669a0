// The header section of a reply: lines put together across receive blocks,
// and the three things the program reads from them.
#pragma once

#include <cstdint>

#include "http/transfer.h"

// A header line longer than this is kept cut to this many characters; the
// bytes past it are still counted, and the line end is still found.
const int kHeaderLineCapacity = 1000;

struct HeaderSection {
    char line[kHeaderLineCapacity] = {};
    char statusLine[kHeaderLineCapacity] = {};  // kept for a refusal to show
    int lineLength = 0;
    int inHeaders = 1;
    int firstLine = 1;
    std::int64_t progressLength = -1;
};

// Takes complete lines from the block at cursor until the header section
// ends or the block runs out. Moves cursor and unread past what it took.
void consumeHeaderBytes(HeaderSection& section, TransferResult& result, char*& cursor, int& unread);

// Applies one assembled line: the empty line, the status line, or a header.
void interpretLine(HeaderSection& section, TransferResult& result);
