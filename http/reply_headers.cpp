#include "http/reply_headers.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/log.h"

namespace {

// Appends zero-terminated text, keeping what fits below the capacity.
void appendToLine(HeaderSection& section, const char* text) {
    size_t room = static_cast<size_t>(kHeaderLineCapacity - 1 - section.lineLength);
    size_t count = std::strlen(text);
    if (count > room) count = room;
    std::memcpy(section.line + section.lineLength, text, count);
    section.lineLength += static_cast<int>(count);
    section.line[section.lineLength] = '\0';
}

// Reads a decimal integer at the start of text, after optional white space
// and sign. Returns 1 and stores it when there were digits, 0 otherwise.
int scanLeadingInteger(const char* text, std::int64_t& value) {
    char* end = nullptr;
    long long parsed = std::strtoll(text, &end, 10);
    if (end == text) return 0;
    value = parsed;
    return 1;
}

int clampToInt(std::int64_t value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Returns 1 when text begins with prefix, letters compared without case.
int startsWithIgnoringCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        unsigned char a = static_cast<unsigned char>(*text);
        unsigned char b = static_cast<unsigned char>(*prefix);
        if (std::tolower(a) != std::tolower(b)) return 0;
    }
    return 1;
}

void readStatusLine(HeaderSection& section, TransferResult& result) {
    char word[100];
    int used = 0;
    // A first word that does not fit the 99 characters is no protocol name,
    // and whatever follows its first 99 is no status code.
    if (std::sscanf(section.line, "%99s%n", word, &used) == 1 &&
        !std::isgraph(static_cast<unsigned char>(section.line[used]))) {
        std::int64_t status = 0;
        if (scanLeadingInteger(section.line + used, status)) result.replyStatus = clampToInt(status);
    }
    logAt(4, "** Status: %s\n", section.line);
    section.firstLine = 0;
}

void readHeaderLine(HeaderSection& section, TransferResult& result) {
    const char* colon = std::strchr(section.line, ':');
    if (colon != nullptr) {
        const char* value = colon + 1;
        while (*value != '\0' && static_cast<signed char>(*value) <= 32) ++value;
        std::int64_t number = 0;
        if (startsWithIgnoringCase(section.line, "content-length")) {
            if (scanLeadingInteger(value, number)) {
                result.contentLength = number;
                section.progressLength = number;
            }
        } else if (startsWithIgnoringCase(section.line, "accept-ranges")) {
            if (scanLeadingInteger(value, number)) {
                result.rangeResolution = clampToInt(number);
            } else if (startsWithIgnoringCase(value, "bytes")) {
                result.rangeResolution = 1;
            }
        }
    }
    logAt(5, "** Header: %s\n", section.line);
}

}  // namespace

void interpretLine(HeaderSection& section, TransferResult& result) {
    if (section.lineLength == 0) {
        section.inHeaders = 0;
        logAt(9, "Receiving body...\n");
    } else if (section.firstLine) {
        readStatusLine(section, result);
    } else {
        readHeaderLine(section, result);
    }
}

void consumeHeaderBytes(HeaderSection& section, TransferResult& result, char*& cursor, int& unread) {
    while (section.inHeaders) {
        // The block is zero-terminated: a zero byte in the header section
        // hides the rest of the block, which is counted but never read.
        char* lineEnd = std::strchr(cursor, '\n');
        if (lineEnd == nullptr) {
            appendToLine(section, cursor);
            result.headerBytes += unread;
            cursor += unread;
            unread = 0;
            return;
        }
        int taken = static_cast<int>(lineEnd - cursor) + 1;
        unread -= taken;
        result.headerBytes += taken;
        *lineEnd = '\0';
        appendToLine(section, cursor);
        if (section.lineLength > 0 && section.line[section.lineLength - 1] == '\r') {
            section.line[--section.lineLength] = '\0';
        }
        cursor = lineEnd + 1;
        interpretLine(section, result);
        if (section.inHeaders) {
            section.lineLength = 0;
            section.line[0] = '\0';
        }
    }
}
