// A body sent in chunks (Transfer-Encoding: chunked): each chunk's data
// comes after a line with its size in hex, and a chunk of size 0 ends the
// body. The decoder walks the framing in place, so the data is never
// copied and the framing never reaches the file.
#pragma once

#include <cstdint>

struct ChunkDecoder {
    int state = 0;               // where in the framing the next byte falls
    std::int64_t dataLeft = 0;   // data bytes still to come in this chunk
    int sizeDigits = 0;          // hex digits read on the size line
    int lineLength = 0;          // bytes of the size line so far
};

enum ChunkStep {
    chunkNeedMore,   // the input ran out inside the framing
    chunkData,       // data and dataCount hold the next piece of data
    chunkLast,       // the chunk of size 0 ended the body
    chunkMalformed,  // the framing is broken
};

// Takes framing from cursor until data, the last chunk or the end of the
// input. Moves cursor and unread past what it took. Returns a ChunkStep.
int nextChunkData(ChunkDecoder& decoder, const char*& cursor, int& unread, const char*& data, int& dataCount);
