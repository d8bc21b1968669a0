#include "http/state_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "support/decimal_text.h"
#include "support/format_text.h"

namespace {

const char kFirstLine[] = "webhaul parts 1";

// Two addresses at the string cap, the validator and every range fit.
const int kStateCapacity = 2 * kBoundedStringCap + kValidatorCapacity + kMostParts * 48 + 512;
// Static: a run touches only the pages its state file fills.
char stateText[kStateCapacity + 1];

// Appends a formatted line at length. Returns the new length.
__attribute__((format(printf, 2, 3))) int appendLine(int length, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int added = formatList(stateText + length, static_cast<size_t>(kStateCapacity - length), format, arguments);
    va_end(arguments);
    if (added < 0) return length;
    return length + added < kStateCapacity ? length + added : kStateCapacity;
}

// Appends the line "<name> <count>", the count written without printf as
// the progress line's are. Returns the new length.
int appendCount(int length, const char* name, std::int64_t count) {
    char digits[kDecimalRoom];
    writeDecimal(digits, count);
    return appendLine(length, "%s %s\n", name, digits);
}

// Writes the state into stateText, naming address as the one given.
// Returns its length.
int composeState(const char* address, const PartsState& state) {
    int length = appendLine(0, "%s\naddress %s\n", kFirstLine, address);
    if (state.partsAddress.length > 0) length = appendLine(length, "parts-address %s\n", textOf(state.partsAddress));
    length = appendCount(length, "total", state.totalLength);
    length = appendCount(length, "first", state.firstByte);
    length = appendCount(length, "last", state.lastByte);
    if (state.validator[0] != '\0') {
        length = appendLine(length, "%s %s\n", state.validatorIsTag ? "etag" : "modified", state.validator);
    }
    if (state.prefix) length = appendLine(length, "prefix\n");
    for (int index = 0; index < state.rangeCount; ++index) {
        char start[kDecimalRoom];
        char end[kDecimalRoom];
        writeDecimal(start, state.starts[index]);
        writeDecimal(end, state.ends[index]);
        length = appendLine(length, "stored %s %s\n", start, end);
    }
    return appendLine(length, "end\n");
}

// Reads a whole decimal number that is no byte count past the largest;
// -1 is taken where allowMinusOne is set. Returns 1 when the text is one.
int readNumber(const char* text, std::int64_t& number, int allowMinusOne) {
    if (allowMinusOne && std::strcmp(text, "-1") == 0) {
        number = -1;
        return 1;
    }
    if (*text < '0' || *text > '9' || std::strlen(text) > 19) return 0;
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    if (*end != '\0' || value > kLargestByteCount) return 0;
    number = value;
    return 1;
}

// Reads "<first> <end>" as the next stored range. Returns 1 when it is one.
int readRange(char* text, PartsState& state) {
    char* space = std::strchr(text, ' ');
    if (space == nullptr || state.rangeCount == kMostParts) return 0;
    *space = '\0';
    int index = state.rangeCount;
    if (!readNumber(text, state.starts[index], 0) || !readNumber(space + 1, state.ends[index], 0)) return 0;
    ++state.rangeCount;
    return 1;
}

// Takes one line, split at its first space into word and value. Returns 1
// when it is a line of the state file.
int readLine(const char* word, char* value, PartsState& state) {
    BoundedString* address = std::strcmp(word, "address") == 0         ? &state.address
                             : std::strcmp(word, "parts-address") == 0 ? &state.partsAddress
                                                                      : nullptr;
    if (address != nullptr) {
        assignText(*address, value);
        return 1;
    }
    if (std::strcmp(word, "total") == 0) return readNumber(value, state.totalLength, 1);
    if (std::strcmp(word, "first") == 0) return readNumber(value, state.firstByte, 0);
    if (std::strcmp(word, "last") == 0) return readNumber(value, state.lastByte, 1);
    if (std::strcmp(word, "stored") == 0) return !state.prefix && readRange(value, state);
    int tag = std::strcmp(word, "etag") == 0;
    if ((!tag && std::strcmp(word, "modified") != 0) || std::strlen(value) >= sizeof state.validator) return 0;
    std::strcpy(state.validator, value);
    state.validatorIsTag = tag;
    return 1;
}

// Returns 1 when the state can tell its version from another: parts need
// the file's length; a file's start on one connection a length or validator.
int namesVersion(const PartsState& state) {
    if (!state.prefix) return state.totalLength >= 0;
    return state.rangeCount == 0 && (state.totalLength >= 0 || state.validator[0] != '\0');
}

// Reads the lines of text. Returns a StateReading.
int readStateText(char* text, PartsState& state) {
    char* line = text;
    int lineNumber = 0;
    for (char* end = std::strchr(line, '\n'); end != nullptr; line = end + 1, end = std::strchr(line, '\n')) {
        *end = '\0';
        if (lineNumber++ == 0) {
            if (std::strcmp(line, kFirstLine) != 0) return stateUnreadable;
            continue;
        }
        if (std::strcmp(line, "end") == 0) return *(end + 1) == '\0' && namesVersion(state) ? stateRead : stateUnreadable;
        if (std::strcmp(line, "prefix") == 0 && state.rangeCount == 0) {
            state.prefix = 1;
            continue;
        }
        char* space = std::strchr(line, ' ');
        if (space == nullptr) return stateUnreadable;
        *space = '\0';
        if (!readLine(line, space + 1, state)) return stateUnreadable;
    }
    return stateUnreadable;
}

// Makes the composed text the state file's content. Returns 1, or 0 with
// the note of the call that failed.
int writeComposed(const char* name, int length, BoundedString& note) {
    const char* failedCall = "";
    if (replaceFileContent(name, stateText, length, &failedCall) == 0) return 1;
    assignFormat(note, "%s: %s\n", failedCall, std::strerror(errno));
    return 0;
}

}  // namespace

void partsStateName(const char* outputName, BoundedString& name) {
    assignText(name, "");
    if (isDeviceName(outputName)) return;
    assignText(name, outputName);
    appendBytes(name, ".webhaul", 8);
}

int writePartsState(const char* name, const PartsState& state, BoundedString& note) {
    return writeComposed(name, composeState(textOf(state.address), state), note);
}

int readPartsState(const char* name, PartsState& state) {
    // A pipe there would hold the run before its first request.
    int kind = fileNameKind(name, 0);
    if (kind == fileNameMissing) return stateMissing;
    if (kind != fileNameRegular) return stateUnreadable;
    std::FILE* file = openStream(name, "rb");
    if (file == nullptr) return errno == ENOENT ? stateMissing : stateUnreadable;
    size_t length = std::fread(stateText, 1, kStateCapacity, file);
    int failed = std::ferror(file) || length == static_cast<size_t>(kStateCapacity);
    std::fclose(file);
    if (failed || std::memchr(stateText, '\0', length) != nullptr) return stateUnreadable;
    stateText[length] = '\0';
    return readStateText(stateText, state);
}

void takeVersion(const StoredBytes& stored, PartsState& state) {
    state.totalLength = stored.totalLength;
    state.firstByte = stored.firstByte;
    state.lastByte = stored.lastByte;
    std::memcpy(state.validator, stored.validator, sizeof state.validator);
    state.validatorIsTag = stored.validatorIsTag;
}

namespace {

// Gives up the state file for the rest of the run, taking with it what it
// said of bytes the output no longer holds. Returns 0.
int giveUpState(PartsHandOver& handOver, const BoundedString& note) {
    // The note's line end is the line's own.
    assignText(handOver.stateProblem, "no state file can be kept: ");
    appendBytes(handOver.stateProblem, note.buffer, note.length > 0 ? note.length - 1 : 0);
    removeFileIfPresent(textOf(handOver.stateFile));
    assignText(handOver.stateFile, "");
    return 0;
}

}  // namespace

int recordOneConnectionState(PartsHandOver& handOver, const StoredBytes& stored) {
    if (handOver.stateFile.length == 0) return 1;
    const char* name = textOf(handOver.stateFile);
    BoundedString note;
    if (!stored.ownBytes || (stored.totalLength < 0 && stored.validator[0] == '\0')) {
        if (removeFileIfPresent(name) == 0) return 1;
        assignFormat(note, "remove: %s\n", std::strerror(errno));
        return giveUpState(handOver, note);
    }
    PartsState state;  // its address is the hand-over's, not copied: no attempt allocates
    takeVersion(stored, state);
    state.prefix = 1;
    return writeComposed(name, composeState(textOf(handOver.address), state), note) || giveUpState(handOver, note);
}
