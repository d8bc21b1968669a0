#include "http/reply_numbers.h"

#include <cctype>

#include "http/transfer.h"

namespace {

// The protocol word is short; a longer first word is no protocol name.
const int kLongestProtocolWord = 99;

int isBlank(char byte) { return byte == ' ' || byte == '\t'; }

int isDigitByte(char byte) { return byte >= '0' && byte <= '9'; }

int isSpaceByte(char byte) { return std::isspace(static_cast<unsigned char>(byte)) != 0; }

const char* skipBlanks(const char* text) {
    while (isBlank(*text)) ++text;
    return text;
}

// Reads decimal digits that make a byte count. Returns the text after
// them, or null when there are none or the count passes the limit.
const char* readByteCount(const char* text, std::int64_t& value) {
    const char* start = text;
    value = 0;
    for (; isDigitByte(*text); ++text) {
        int digit = *text - '0';
        if (value > (kLargestByteCount - digit) / 10) return nullptr;
        value = value * 10 + digit;
    }
    return text == start ? nullptr : text;
}

}  // namespace

int statusCodeOf(const char* line) {
    while (isSpaceByte(*line)) ++line;
    const char* word = line;
    while (*line != '\0' && !isSpaceByte(*line)) ++line;
    if (line == word || line - word > kLongestProtocolWord || !isSpaceByte(*line)) return -1;
    while (isSpaceByte(*line)) ++line;
    for (int index = 0; index < 3; ++index) {
        if (!isDigitByte(line[index])) return -1;
    }
    if (line[3] != '\0' && !isSpaceByte(line[3])) return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

int readLengthList(const char* value, std::int64_t& length) {
    length = -1;
    for (;;) {
        std::int64_t count = 0;
        const char* end = readByteCount(skipBlanks(value), count);
        value = end == nullptr ? nullptr : skipBlanks(end);
        if (value == nullptr || (*value != '\0' && *value != ',')) return lengthNotCount;
        if (length >= 0 && count != length) return lengthsDiffer;
        length = count;
        if (*value == '\0') return lengthRead;
        ++value;
    }
}
