#include "http/reply_headers.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "http/authorization.h"
#include "http/reply_numbers.h"
#include "support/ascii_text.h"
#include "support/log.h"
#include "support/shown_text.h"

namespace {

// The most of a line at fault that its note repeats.
const int kShownLineLength = 160;

// Appends count bytes to the line being put together, zero-terminated
// for the readers of its values. The section's limit keeps it inside the
// buffer; the check only guards memory.
void appendToLine(HeaderSection& section, const char* bytes, int count) {
    char* line = section.text + section.lineStart;
    int room = static_cast<int>(sizeof section.text) - 1 - section.lineStart - section.lineLength;
    if (count > room) count = room;
    std::memcpy(line + section.lineLength, bytes, static_cast<size_t>(count));
    section.lineLength += count;
    line[section.lineLength] = '\0';
}

// Fails the attempt on a reply that cannot be read. Returns 0.
int failMalformed(TransferResult& result, const char* why) {
    assignFormat(result.errorText, "recv: Malformed reply: %s\n", why);
    result.stage = stageReceive;
    return 0;
}

// Logs a line of the reply at level, escaped.
void logShown(int level, const char* label, const char* line) {
    if (level > verbosity) return;
    BoundedString shown = escapedCopy(line);
    logAt(level, "%s%s\n", label, textOf(shown));
}

// Returns where the line holds its first byte that no status or header
// line may hold (one below 0x20 other than TAB, or 0x7F), or -1.
int firstControlByte(const char* line, int length) {
    for (int index = 0; index < length; ++index) {
        unsigned char byte = static_cast<unsigned char>(line[index]);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return index;
    }
    return -1;
}

// Fails the attempt on a line with a control byte, which is shown
// escaped, cut to kShownLineLength bytes. Returns 0.
int failControlByte(TransferResult& result, const HeaderSection& section, const char* line, int at) {
    BoundedString byte;
    appendEscaped(byte, line + at, 1);
    assignFormat(result.errorText, "recv: Malformed reply: control byte %s in %s \"", textOf(byte),
                 section.firstLine ? "the status line" : "a header line");
    int shown = section.lineLength < kShownLineLength ? section.lineLength : kShownLineLength;
    appendEscaped(result.errorText, line, shown);
    appendBytes(result.errorText, shown < section.lineLength ? "...\"\n" : "\"\n", shown < section.lineLength ? 5 : 2);
    result.stage = stageReceive;
    return 0;
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
    return equalIgnoringCase(text, prefix, static_cast<int>(std::strlen(prefix)));
}

// The status line begins a reply; a 1xx one an interim reply, whose
// section is dropped. The line stays at the start of the buffer.
void readStatusLine(HeaderSection& section, TransferResult& result) {
    logShown(4, "** Status: ", section.text);
    section.firstLine = 0;
    section.lineStart = section.lineLength + 1;
    int status = statusCodeOf(section.text);
    if (status < 0) {
        failMalformed(result, "the status line has no three-digit status");
        return;
    }
    result.replyStatus = status;
    // Only an upgrade asked for may switch protocols; none ever is.
    if (status == 101) failMalformed(result, "status 101, though no protocol switch was asked for");
    section.interim = status >= 100 && status <= 199;
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
// One too long to keep counts as none: cut, it could match another version's.
void keepValidator(const char* value, int isTag, TransferResult& result) {
    if (!isTag && result.validatorIsTag) return;
    size_t length = std::strlen(value);
    while (length > 0 && std::isspace(static_cast<unsigned char>(value[length - 1]))) --length;
    if (length >= sizeof result.validator) length = 0;
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
    } else if (headerNameIs(line, colon, "www-authenticate")) {
        readChallenge(value, result);
    }
}

// Reads a Content-Length line: one byte count, the same in every such line.
void readContentLength(const char* value, TransferResult& result) {
    std::int64_t length = -1;
    int reading = readLengthList(value, length);
    if (reading == lengthRead && result.contentLength >= 0 && length != result.contentLength) reading = lengthsDiffer;
    if (reading == lengthNotCount) failMalformed(result, "Content-Length is not a byte count");
    if (reading == lengthsDiffer) failMalformed(result, "Content-Length values differ");
    if (reading == lengthRead) result.contentLength = length;
}

// An interim reply's headers say nothing of the final reply: only logged.
// Keeps the Location's value, blanks at its end left out.
void keepLocation(const char* value, TransferResult& result) {
    size_t length = std::strlen(value);
    while (length > 0 && std::isspace(static_cast<unsigned char>(value[length - 1]))) --length;
    result.locationTooLong = length > static_cast<size_t>(kBoundedStringCap);
    assignBytes(result.location, value, static_cast<int>(length));
}

void readHeaderLine(const HeaderSection& section, const char* line, TransferResult& result) {
    logShown(5, "** Header: ", line);
    const char* colon = std::strchr(line, ':');
    if (section.interim || colon == nullptr) return;
    const char* value = colon + 1;
    while (*value != '\0' && static_cast<signed char>(*value) <= 32) ++value;
    std::int64_t number = 0;
    if (headerNameIs(line, colon, "content-length")) {
        readContentLength(colon + 1, result);
    } else if (startsWithIgnoringCase(line, "accept-ranges")) {
        if (scanLeadingInteger(value, number)) {
            result.rangeResolution = clampToInt(number);
        } else if (startsWithIgnoringCase(value, "bytes")) {
            result.rangeResolution = 1;
        }
    } else if (headerNameIs(line, colon, "location")) {
        keepLocation(value, result);
    } else {
        readBodyHeader(line, colon, value, result);
    }
}

// An empty line ends a section: an interim reply's, after which a status
// line comes again, or the final reply's, after which its body comes.
void endSection(HeaderSection& section, TransferResult& result) {
    if (section.firstLine) {
        failMalformed(result, "an empty line where the status line belongs");
    } else if (section.interim) {
        section.interim = 0;
        section.firstLine = 1;
        section.lineStart = 0;
    } else {
        section.inHeaders = 0;
    }
}

// Applies one assembled line: the empty line, a status line, or a header.
void interpretLine(HeaderSection& section, TransferResult& result) {
    char* line = section.text + section.lineStart;
    if (section.lineLength > 0 && line[section.lineLength - 1] == '\r') line[--section.lineLength] = '\0';
    int controlByte = firstControlByte(line, section.lineLength);
    if (controlByte >= 0) {
        failControlByte(result, section, line, controlByte);
    } else if (section.lineLength == 0) {
        endSection(section, result);
    } else if (section.firstLine) {
        readStatusLine(section, result);
    } else {
        readHeaderLine(section, line, result);
    }
    section.lineLength = 0;
    section.text[section.lineStart] = '\0';
}

}  // namespace

void consumeHeaderBytes(HeaderSection& section, TransferResult& result, char*& cursor, int& unread) {
    while (section.inHeaders && result.stage == stageCompleted) {
        // Counted, never read as a zero-terminated text: a zero byte is a
        // byte of the line like any other, and the line's check refuses it.
        const char* lineEnd = static_cast<const char*>(std::memchr(cursor, '\n', static_cast<size_t>(unread)));
        int taken = lineEnd == nullptr ? unread : static_cast<int>(lineEnd - cursor) + 1;
        unread -= taken;
        result.headerBytes += taken;
        if (result.headerBytes > kHeaderSectionLimit) {
            failMalformed(result, "the header section passes 65536 bytes");
            return;
        }
        appendToLine(section, cursor, lineEnd == nullptr ? taken : taken - 1);
        cursor += taken;
        if (lineEnd == nullptr) return;  // the start of a line the next block completes
        interpretLine(section, result);
    }
}

void noteStatusLine(const HeaderSection& section, const char* front, const char* back, BoundedString& note) {
    assignText(note, front);
    appendEscaped(note, section.text, static_cast<int>(std::strlen(section.text)));
    appendBytes(note, back, static_cast<int>(std::strlen(back)));
}

const char* statusLineOf(const HeaderSection& section) { return section.text; }

void noteServerRefusal(BoundedString& note, const HeaderSection& section) {
    noteStatusLine(section, "Refused by the server: ", "\n", note);
}
