#include "http/chunked_body.h"

namespace {

enum DecoderState { onSizeDigits, onSizeLineRest, onExtension, inData, afterData, afterDataCr };

// A size line is never longer than a header line may be, and its size has
// at most 15 hex digits, so it always fits.
const int kSizeLineLimit = 1000;
const int kSizeDigitLimit = 15;

int hexValue(char byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
}

// Ends a size line. Returns chunkLast, chunkMalformed, or chunkNeedMore
// when data follows.
int endSizeLine(ChunkDecoder& decoder) {
    if (decoder.sizeDigits == 0) return chunkMalformed;
    decoder.sizeDigits = 0;
    decoder.lineLength = 0;
    if (decoder.dataLeft == 0) return chunkLast;
    decoder.state = inData;
    return chunkNeedMore;
}

// Takes one byte of a size line. Returns as endSizeLine does.
int takeSizeLineByte(ChunkDecoder& decoder, char byte) {
    if (++decoder.lineLength > kSizeLineLimit) return chunkMalformed;
    if (byte == '\n') return endSizeLine(decoder);
    if (decoder.state == onExtension) return chunkNeedMore;
    int digit = hexValue(byte);
    if (decoder.state == onSizeDigits && digit >= 0) {
        if (++decoder.sizeDigits > kSizeDigitLimit) return chunkMalformed;
        decoder.dataLeft = decoder.dataLeft * 16 + digit;
        return chunkNeedMore;
    }
    if (byte == ';') {
        decoder.state = onExtension;
    } else if (byte == ' ' || byte == '\t' || byte == '\r') {
        decoder.state = onSizeLineRest;
    } else {
        return chunkMalformed;
    }
    return chunkNeedMore;
}

// Takes one byte of the line end after a chunk's data.
int takeDataEndByte(ChunkDecoder& decoder, char byte) {
    if (byte == '\r' && decoder.state == afterData) {
        decoder.state = afterDataCr;
        return chunkNeedMore;
    }
    if (byte != '\n') return chunkMalformed;
    decoder.state = onSizeDigits;
    return chunkNeedMore;
}

}  // namespace

int nextChunkData(ChunkDecoder& decoder, const char*& cursor, int& unread, const char*& data, int& dataCount) {
    while (unread > 0) {
        if (decoder.state == inData) {
            dataCount = decoder.dataLeft < unread ? static_cast<int>(decoder.dataLeft) : unread;
            data = cursor;
            cursor += dataCount;
            unread -= dataCount;
            decoder.dataLeft -= dataCount;
            if (decoder.dataLeft == 0) decoder.state = afterData;
            return chunkData;
        }
        char byte = *cursor++;
        --unread;
        int step = decoder.state == afterData || decoder.state == afterDataCr ? takeDataEndByte(decoder, byte)
                                                                                : takeSizeLineByte(decoder, byte);
        if (step != chunkNeedMore) return step;
    }
    return chunkNeedMore;
}
