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
    std::memcpy(section.statusLine, section.line, sizeof section.statusLine);
    section.firstLine = 0;
}

// Returns 1 when the header's name (the text before the colon, trailing
// blanks aside) is exactly name, letters compared without case.
int headerNameIs(const char* line, const char* colon, const char* name) {
    size_t length = static_cast<size_t>(colon - line);
    while (length > 0 && (line[length - 1] == ' ' || line[length - 1] == '\t')) --length;
    return length == std::strlen(name) && startsWithIgnoringCase(line, name);
}

// Reads an unsigned decimal of at most 18 digits, so it always fits.
// Returns the text after it, or null when there are no digits or too many.
const char* readCount(const char* text, std::int64_t& value) {
    int digits = 0;
    value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text, ++digits) {
        if (digits == 18) return nullptr;
        value = value * 10 + (*text - '0');
    }
    return digits == 0 ? nullptr : text;
}

// Reads "bytes F-L/T", "bytes F-L/*" or "bytes */T" into start and total
// (-1 where the value says "*"); leaves both alone when it is malformed.
void readContentRange(const char* value, TransferResult& result) {
    if (!startsWithIgnoringCase(value, "bytes ")) return;
    const char* text = value + 6;
    while (*text == ' ') ++text;
    std::int64_t start = -1;
    std::int64_t last = -1;
    std::int64_t total = -1;
    if (*text == '*') {
        ++text;
    } else {
        text = readCount(text, start);
        if (text == nullptr || *text != '-') return;
        text = readCount(text + 1, last);
        if (text == nullptr || last < start) return;
    }
    if (*text != '/') return;
    if (text[1] == '*') {
        text += 2;
    } else {
        text = readCount(text + 1, total);
        if (text == nullptr || (start >= 0 && last >= total)) return;
    }
    if (*text != '\0' && !std::isspace(static_cast<unsigned char>(*text))) return;
    if (start < 0 && total < 0) return;
    result.rangeStart = start;
    result.rangeEnd = last;
    result.rangeTotal = total;
}

// Keeps the value as the reply's validator: an ETag always, a
// Last-Modified date only while no ETag came.
void keepValidator(const char* value, int isTag, TransferResult& result) {
    if (!isTag && result.validatorIsTag) return;
    size_t length = std::strlen(value);
    while (length > 0 && std::isspace(static_cast<unsigned char>(value[length - 1]))) --length;
    if (length >= sizeof result.validator) length = sizeof result.validator - 1;
    std::memcpy(result.validator, value, length);
    result.validator[length] = '\0';
    result.validatorIsTag = isTag;
}

// Returns 1 when text holds word, letters compared without case.
int containsIgnoringCase(const char* text, const char* word) {
    for (; *text != '\0'; ++text) {
        if (startsWithIgnoringCase(text, word)) return 1;
    }
    return 0;
}

// Reads the headers that say where the body belongs and how it is framed.
void readBodyHeader(const char* line, const char* colon, const char* value, TransferResult& result) {
    if (headerNameIs(line, colon, "content-range")) {
        readContentRange(value, result);
    } else if (headerNameIs(line, colon, "etag")) {
        keepValidator(value, 1, result);
    } else if (headerNameIs(line, colon, "last-modified")) {
        keepValidator(value, 0, result);
    } else if (headerNameIs(line, colon, "transfer-encoding")) {
        result.chunked = containsIgnoringCase(value, "chunked");
    }
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
        } else {
            readBodyHeader(section.line, colon, value, result);
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
