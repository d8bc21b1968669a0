// Feeds arbitrary reply bytes to the reply reader through a real socket,
// cut into receive blocks that the input chooses, and checks what must hold
// for any reply against a plain model of the reading rules and of what a
// reply may do to the bytes the output already holds.
//
// Input: one flags byte; when its bit 3 is set, one byte describing the
// stored bytes; two bytes per block size (little endian, 1 + value % 16383);
// then the reply. The sizes are used in turn, over and over; with none,
// blocks are as large as allowed.
// Flags: bit 0: HEAD request; bit 1: the request resumes the stored bytes
// (without it the attempt is a fresh one, which stores any reply after
// them); bit 2: the output has no descriptor, so it cannot be emptied and
// every body byte goes through the receive block; bit 3: the description
// byte follows; bits 4-7: how many block sizes follow.
// Description byte: bits 0-1 choose the stored bytes' known total (unknown,
// 13 = their own count, 20, 64), bits 2-3 their validator (none, "a" and
// "b" in quotes, a date), bit 4 plays a reply of up to 512 bytes once per
// offset, broken there in two; with no description byte both are unknown.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "http/transfer.h"
#include "support/log.h"
#include "tests/fuzz/integer_model.h"

namespace {

const size_t kLargestBlock = 16383;
const size_t kLargestReply = 1 << 20;
const size_t kLongestReplySplitEverywhere = 512;  // so that one input stays quick
const std::int64_t kHeaderSectionLimit = 65536;
const size_t kLongestStatusWord = 99;
// The most of a line at fault that its note shows.
const size_t kShownLineLength = 160;
const size_t kLongestValidator = 999;
// A Content-Length above this is no length to wait for.
const std::int64_t kLargestCount = std::int64_t(1) << 60;
const size_t kLongestRangeNumber = 18;
const size_t kLongestSizeLine = 1000;  // a chunk size line, its line end included
const size_t kLongestChunkSize = 15;   // hex digits
// What the file held before the attempt, as an earlier attempt left it.
const char kStoredBefore[] = "stored-before";
const std::int64_t kStoredCount = sizeof kStoredBefore - 1;
const std::int64_t kKnownTotals[] = {-1, kStoredCount, 20, 64};
const char* const kKnownValidators[] = {"", "\"a\"", "\"b\"", "Mon, 07 Dec 2026 10:00:00 GMT"};
const char kCannotStartOver[] = "Cannot start over: the output cannot be emptied, and the reply is not the same file\n";
const char kRefusedPrefix[] = "Reply not stored: ";

struct FuzzCase {
    int headersOnly = 0;
    int resumes = 0;
    int withoutDescriptor = 0;
    int everySplit = 0;
    std::int64_t storedTotal = -1;
    std::string storedValidator;
    std::vector<std::string> blocks;
    std::string reply;
};

// Splits the input into flags, the description, block sizes and the reply.
// Returns 0 when the input is too short for what its flags announce.
int readCase(const std::uint8_t* data, size_t size, FuzzCase& fuzzCase) {
    if (size < 1) return 0;
    fuzzCase.headersOnly = data[0] & 1;
    fuzzCase.resumes = (data[0] >> 1) & 1;
    fuzzCase.withoutDescriptor = (data[0] >> 2) & 1;
    size_t offset = 1;
    if ((data[0] >> 3) & 1) {
        if (size < 2) return 0;
        fuzzCase.storedTotal = kKnownTotals[data[1] & 3];
        fuzzCase.storedValidator = kKnownValidators[(data[1] >> 2) & 3];
        fuzzCase.everySplit = (data[1] >> 4) & 1;
        offset = 2;
    }
    size_t sizeCount = data[0] >> 4;
    if (size < offset + 2 * sizeCount) return 0;
    std::vector<size_t> sizes;
    for (size_t index = 0; index < sizeCount; ++index) {
        size_t value = data[offset + 2 * index] | static_cast<size_t>(data[offset + 1 + 2 * index]) << 8;
        sizes.push_back(1 + value % kLargestBlock);
    }
    if (sizes.empty()) sizes.push_back(kLargestBlock);
    offset += 2 * sizeCount;
    fuzzCase.reply.assign(reinterpret_cast<const char*>(data) + offset, size - offset);
    for (size_t start = 0, turn = 0; start < fuzzCase.reply.size(); ++turn) {
        size_t length = std::min(sizes[turn % sizes.size()], fuzzCase.reply.size() - start);
        fuzzCase.blocks.push_back(fuzzCase.reply.substr(start, length));
        start += length;
    }
    return 1;
}

// ---- The header section, written plainly over whole strings.

struct ReplyModel {
    std::string line;  // the line being put together, uncut
    bool inHeaders = true;
    bool firstLine = true;
    std::int64_t headerBytes = 0;
    std::string afterHeaders;  // every byte after the header section
    int replyStatus = -1;
    int rangeResolution = 0;
    std::int64_t contentLength = -1;
    std::int64_t rangeStart = -1;
    std::int64_t rangeEnd = -1;
    std::int64_t rangeTotal = -1;
    std::string validator;
    bool validatorIsTag = false;
    bool chunked = false;
    bool interim = false;   // a 1xx section, dropped
    std::string malformed;  // the note of a reply that cannot be read
};

int clampToInt(std::int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int>(value);
}

std::string lowerCase(std::string text) {
    for (char& byte : text) {
        if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
    }
    return text;
}

bool startsWithIgnoringCase(const std::string& text, size_t at, const char* prefix) {
    return at <= text.size() && lowerCase(text.substr(at, std::strlen(prefix))) == prefix;
}

bool allDigits(const std::string& text) {
    for (char byte : text) {
        if (!isDigit(byte)) return false;
    }
    return true;
}

// A Content-Range number: 1 to 18 decimal digits. Returns false otherwise.
bool readRangeNumber(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > kLongestRangeNumber || !allDigits(text)) return false;
    value = std::stoll(text);
    return true;
}

void markMalformed(ReplyModel& model, const std::string& why) {
    model.malformed = "recv: Malformed reply: " + why + "\n";
}

// A word, blanks, then exactly three digits and blanks or the end.
void modelStatusLine(ReplyModel& model, const std::string& line) {
    size_t at = 0;
    while (at < line.size() && isScanSpace(line[at])) ++at;
    size_t wordStart = at;
    while (at < line.size() && !isScanSpace(line[at])) ++at;
    size_t wordLength = at - wordStart;
    size_t digits = line.find_first_not_of(" \t\n\v\f\r", at);
    std::string code = digits == std::string::npos ? "" : line.substr(digits, 3);
    bool ends = digits != std::string::npos && (digits + 3 >= line.size() || isScanSpace(line[digits + 3]));
    if (wordLength == 0 || wordLength > kLongestStatusWord || digits == at || code.size() < 3 || !allDigits(code) ||
        !ends) {
        markMalformed(model, "the status line has no three-digit status");
        return;
    }
    model.replyStatus = std::stoi(code);
    if (model.replyStatus == 101) markMalformed(model, "status 101, though no protocol switch was asked for");
    model.interim = model.replyStatus >= 100 && model.replyStatus <= 199;
}

// "bytes F-L/T", "bytes F-L/*" or "bytes */T", with F <= L < T; anything
// else leaves the earlier values.
void modelContentRange(ReplyModel& model, const std::string& value) {
    if (!startsWithIgnoringCase(value, 0, "bytes ")) return;
    size_t at = value.find_first_not_of(' ', 6);
    if (at == std::string::npos) return;
    size_t end = at;
    while (end < value.size() && !isScanSpace(value[end])) ++end;
    std::string form = value.substr(at, end - at);
    size_t slash = form.find('/');
    if (slash == std::string::npos) return;
    std::string range = form.substr(0, slash);
    std::string totalText = form.substr(slash + 1);
    std::int64_t first = -1, last = -1, total = -1;
    size_t dash = range.find('-');
    if (range != "*" && (dash == std::string::npos || !readRangeNumber(range.substr(0, dash), first) ||
                         !readRangeNumber(range.substr(dash + 1), last) || last < first)) {
        return;
    }
    if (totalText != "*" && (!readRangeNumber(totalText, total) || (first >= 0 && last >= total))) return;
    if (first < 0 && total < 0) return;
    model.rangeStart = first;
    model.rangeEnd = last;
    model.rangeTotal = total;
}

// An ETag always wins; a Last-Modified date counts while no ETag came.
void modelValidator(ReplyModel& model, const std::string& value, bool isTag) {
    if (!isTag && model.validatorIsTag) return;
    size_t end = value.size();
    while (end > 0 && isScanSpace(value[end - 1])) --end;
    model.validator = end > kLongestValidator ? "" : value.substr(0, end);
    model.validatorIsTag = isTag;
}

// The name before the colon, trailing blanks aside, in lower case.
std::string headerName(const std::string& line, size_t colon) {
    size_t nameEnd = colon;
    while (nameEnd > 0 && (line[nameEnd - 1] == ' ' || line[nameEnd - 1] == '\t')) --nameEnd;
    return lowerCase(line.substr(0, nameEnd));
}

// The headers known by their exact name.
void modelNamedHeader(ReplyModel& model, const std::string& line, size_t colon, const std::string& value) {
    std::string name = headerName(line, colon);
    if (name == "content-range") modelContentRange(model, value);
    if (name == "etag") modelValidator(model, value, true);
    if (name == "last-modified") modelValidator(model, value, false);
    if (name == "transfer-encoding") model.chunked = lowerCase(value).find("chunked") != std::string::npos;
}

// Comma-separated byte counts, blanks around each, all the same.
void modelContentLength(ReplyModel& model, const std::string& value) {
    std::int64_t length = model.contentLength;
    for (size_t start = 0; start <= value.size();) {
        size_t comma = std::min(value.find(',', start), value.size());
        std::string element = value.substr(start, comma - start);
        size_t first = element.find_first_not_of(" \t");
        size_t last = element.find_last_not_of(" \t");
        std::string digits = first == std::string::npos ? "" : element.substr(first, last - first + 1);
        std::uint64_t count = 0;
        const std::uint64_t largest = static_cast<std::uint64_t>(kLargestCount);
        for (size_t at = 0; at < digits.size() && count <= largest; ++at) {
            count = count * 10 + static_cast<std::uint64_t>(digits[at] - '0');
        }
        if (digits.empty() || !allDigits(digits) || count > largest) {
            return markMalformed(model, "Content-Length is not a byte count");
        }
        if (length >= 0 && static_cast<std::int64_t>(count) != length) {
            return markMalformed(model, "Content-Length values differ");
        }
        length = static_cast<std::int64_t>(count);
        start = comma + 1;
    }
    model.contentLength = length;
}

void modelHeaderLine(ReplyModel& model, const std::string& line) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || model.interim) return;
    size_t value = colon + 1;
    while (value < line.size() && static_cast<signed char>(line[value]) <= 32) ++value;
    std::int64_t number = 0;
    if (headerName(line, colon) == "content-length") {
        modelContentLength(model, line.substr(colon + 1));
    } else if (startsWithIgnoringCase(line, 0, "accept-ranges")) {
        if (readInteger(line, value, number)) {
            model.rangeResolution = clampToInt(number);
        } else if (startsWithIgnoringCase(line, value, "bytes")) {
            model.rangeResolution = 1;
        }
    } else {
        modelNamedHeader(model, line, colon, line.substr(value));
    }
}

// Bytes below 0x20 but TAB, 0x7F and from 0x80 on, as \xNN.
std::string escaped(const std::string& text) {
    std::string shown;
    char escape[5];
    for (unsigned char byte : text) {
        std::snprintf(escape, sizeof escape, (byte >= 0x20 || byte == '\t') && byte < 0x7f ? "%c" : "\\x%02x", byte);
        shown += escape;
    }
    return shown;
}

// A line with a control byte (a CR before its LF aside) is no line of a
// reply: the note names the byte and shows the line's first bytes.
bool modelControlByte(ReplyModel& model, const std::string& line) {
    size_t at = 0;
    while (at < line.size() && (static_cast<unsigned char>(line[at]) >= 0x20 || line[at] == '\t') && line[at] != 0x7f) ++at;
    if (at == line.size()) return false;
    std::string end = line.size() > kShownLineLength ? "...\"" : "\"";
    markMalformed(model, "control byte " + escaped(line.substr(at, 1)) + " in " +
                             (model.firstLine ? "the status line" : "a header line") + " \"" +
                             escaped(line.substr(0, kShownLineLength)) + end);
    return true;
}

void modelLine(ReplyModel& model) {
    std::string line = model.line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (modelControlByte(model, line)) return;
    if (line.empty() && model.firstLine) {
        markMalformed(model, "an empty line where the status line belongs");
    } else if (line.empty()) {
        model.firstLine = model.interim;
        model.inHeaders = model.interim;
        model.interim = false;
    } else if (model.firstLine) {
        modelStatusLine(model, line);
        model.firstLine = false;
    } else {
        modelHeaderLine(model, line);
    }
}

// One received block: whole header lines, then the rest of the block
// belongs to the line being put together or, past the section, to the body.
void modelBlock(ReplyModel& model, const std::string& block) {
    size_t at = 0;
    while (model.inHeaders && model.malformed.empty()) {
        size_t lineEnd = block.find('\n', at);
        bool whole = lineEnd != std::string::npos;
        model.headerBytes += static_cast<std::int64_t>((whole ? lineEnd + 1 : block.size()) - at);
        if (model.headerBytes > kHeaderSectionLimit) return markMalformed(model, "the header section passes 65536 bytes");
        if (!whole) {
            model.line += block.substr(at);
            return;
        }
        model.line += block.substr(at, lineEnd - at);
        at = lineEnd + 1;
        modelLine(model);
        model.line.clear();
    }
    model.afterHeaders += block.substr(at);
}

// ---- The body: where it ends and what of it is data.

enum BodyEnding {
    endedAsSaid,     // at its length, or at the last chunk
    endedAtClose,    // its length unknown, or a page that may be short
    endedCut,        // closed before the length a 200 or 206 gave, or before the last chunk
    endedMalformed,  // chunk framing broken
};

struct BodyModel {
    std::string data;
    int ending = endedAtClose;
};

// A chunk size line up to its line end (or all there is): 1 to 15 hex
// digits, then blanks (space, tab, CR), then an optional extension after a
// ';'. Returns true while the bytes seen could still be the start of one.
bool sizeLineCouldHold(const std::string& line, bool ended) {
    size_t limit = ended ? kLongestSizeLine - 1 : kLongestSizeLine;
    if (line.size() > limit) return false;
    std::string head = line.substr(0, line.find(';'));
    size_t digits = 0;
    while (digits < head.size() && std::isxdigit(static_cast<unsigned char>(head[digits]))) ++digits;
    if (digits > kLongestChunkSize) return false;
    if (head.find_first_not_of(" \t\r", digits) != std::string::npos) return false;
    return !ended || digits > 0;
}

// The chunks' data; the body ends at the chunk of size 0. After each
// chunk's data comes a line end (CR LF or LF alone).
void decodeChunks(const std::string& bytes, BodyModel& body) {
    size_t at = 0;
    for (;;) {
        size_t lineEnd = bytes.find('\n', at);
        bool ended = lineEnd != std::string::npos;
        std::string line = bytes.substr(at, ended ? lineEnd - at : std::string::npos);
        body.ending = !sizeLineCouldHold(line, ended) ? endedMalformed : !ended ? endedCut : endedAsSaid;
        if (body.ending != endedAsSaid) return;
        std::uint64_t size = std::stoull(line, nullptr, 16);
        if (size == 0) return;
        at = lineEnd + 1;
        body.data += bytes.substr(at, size);
        std::string rest = bytes.size() - at > size ? bytes.substr(at + size, 2) : std::string();
        at += size;
        if (rest.empty() || rest == "\r") {
            body.ending = endedCut;
            return;
        }
        if (rest[0] != '\n' && rest != "\r\n") {
            body.ending = endedMalformed;
            return;
        }
        at += rest[0] == '\n' ? 1 : 2;
    }
}

// Where a body that is not chunked ends: a partial one at its range, any
// other at a believable Content-Length; -1 at the close.
std::int64_t bodyLength(const ReplyModel& model) {
    if (model.replyStatus == 206 && model.rangeStart >= 0) return model.rangeEnd - model.rangeStart + 1;
    return model.contentLength >= 0 && model.contentLength <= kLargestCount ? model.contentLength : -1;
}

BodyModel modelBody(const ReplyModel& model) {
    BodyModel body;
    if (model.replyStatus == 204 || model.replyStatus == 304) {
        body.ending = endedAsSaid;  // such a reply has no body
        return body;
    }
    if (model.chunked) {
        decodeChunks(model.afterHeaders, body);
        return body;
    }
    body.data = model.afterHeaders;
    if (bodyLength(model) < 0) return body;
    size_t length = static_cast<size_t>(bodyLength(model));
    if (body.data.size() >= length) {
        body.data.resize(length);
        body.ending = endedAsSaid;
    } else if (model.replyStatus == 200 || model.replyStatus == 206) {
        body.ending = endedCut;
    }
    return body;
}

// ---- What the reply may do to the stored bytes.

enum Verdict {
    appendBody,       // stored after what the file holds
    replaceFile,      // the file is emptied first
    skipHeldBytes,    // the same file again: the bytes the output holds are left out
    alreadyComplete,  // the file holds the whole of the server's file: nothing changes
    refuseReply,      // nothing stored, stage 4
    cannotReplace,    // the output cannot be emptied for it: stage 5
};

// A quoted validator is a tag; a tag is never compared with a date.
bool storedValidatorIsTag(const FuzzCase& fuzzCase) {
    return !fuzzCase.storedValidator.empty() && fuzzCase.storedValidator[0] == '"';
}

bool validatorsClash(const FuzzCase& fuzzCase, const ReplyModel& model) {
    return !fuzzCase.storedValidator.empty() && !model.validator.empty() &&
           storedValidatorIsTag(fuzzCase) == model.validatorIsTag && fuzzCase.storedValidator != model.validator;
}

bool totalsClash(std::int64_t stored, std::int64_t reply) { return stored >= 0 && reply >= 0 && stored != reply; }

// The server's file length as a 200 gives it; -1 when unknown.
std::int64_t wholeReplyTotal(const ReplyModel& model) {
    return model.chunked || model.contentLength < 0 ? -1 : model.contentLength;
}

int judgeResume(const FuzzCase& fuzzCase, const ReplyModel& model) {
    if (model.replyStatus == 206) {
        bool continues = model.rangeStart == kStoredCount && !totalsClash(fuzzCase.storedTotal, model.rangeTotal) &&
                         !validatorsClash(fuzzCase, model);
        return continues ? appendBody : refuseReply;
    }
    if (model.replyStatus == 416) {
        bool endsHere = model.rangeTotal == kStoredCount && !totalsClash(fuzzCase.storedTotal, model.rangeTotal) &&
                        !validatorsClash(fuzzCase, model);
        return endsHere ? alreadyComplete : refuseReply;
    }
    if (model.replyStatus != 200) return refuseReply;
    std::int64_t total = wholeReplyTotal(model);
    bool sameFile = total >= 0 && total == fuzzCase.storedTotal && !validatorsClash(fuzzCase, model);
    // A file that can be emptied is kept only for the same validator as well.
    bool sameValidator = !fuzzCase.storedValidator.empty() && storedValidatorIsTag(fuzzCase) == model.validatorIsTag &&
                         fuzzCase.storedValidator == model.validator;
    if (!fuzzCase.withoutDescriptor) return sameFile && sameValidator ? skipHeldBytes : replaceFile;
    return sameFile ? skipHeldBytes : cannotReplace;
}

// ---- The whole attempt.

struct Expected {
    int stage = stageCompleted;
    std::string note;
    bool notePrefixOnly = false;
    int replyRefused = 0;
    int verdict = appendBody;
    bool emptied = false;  // a replacing body emptied the file
    std::string file = kStoredBefore;
    std::string stored;  // the body bytes that reached the file
};

void fail(Expected& expected, int stage, const std::string& note) {
    expected.stage = stage;
    expected.note = note;
}

Expected expectOutcome(const FuzzCase& fuzzCase, const ReplyModel& model) {
    Expected expected;
    if (!model.malformed.empty()) {
        fail(expected, stageReceive, model.malformed);
        return expected;
    }
    if (model.inHeaders) {
        fail(expected, stageReceive, "recv: Disconnected\n");
        return expected;
    }
    // A file the run found, and does not continue, keeps its bytes until a
    // reply replaces them: the first body byte, or a reply to HEAD.
    bool replacesFound = !fuzzCase.resumes && !fuzzCase.withoutDescriptor;
    if (fuzzCase.headersOnly) {
        if (replacesFound) expected.file.clear();
        return expected;
    }
    if (fuzzCase.resumes) expected.verdict = judgeResume(fuzzCase, model);
    // Unasked, a partial reply is the file only from its first byte.
    if (!fuzzCase.resumes && model.replyStatus == 206 && model.rangeStart != 0) expected.verdict = refuseReply;
    if (expected.verdict == refuseReply) {
        fail(expected, stageReceive, kRefusedPrefix);
        expected.notePrefixOnly = true;
        expected.replyRefused = 1;
    }
    if (expected.verdict == cannotReplace) fail(expected, stageWriteFile, kCannotStartOver);
    if (expected.verdict == refuseReply || expected.verdict == cannotReplace || expected.verdict == alreadyComplete) {
        return expected;
    }
    BodyModel body = modelBody(model);
    size_t held = expected.verdict == skipHeldBytes ? static_cast<size_t>(kStoredCount) : 0;
    expected.stored = body.data.substr(std::min(held, body.data.size()));
    // Only the first byte stored, or an empty body that came whole, empties it.
    bool whole = body.ending == endedAsSaid || body.ending == endedAtClose;
    bool replaces = expected.verdict == replaceFile || (expected.verdict == appendBody && replacesFound);
    expected.emptied = replaces && (!expected.stored.empty() || whole);
    if (expected.emptied) expected.file.clear();
    expected.file += expected.stored;
    if (body.ending == endedMalformed) fail(expected, stageReceive, "recv: Malformed chunked body\n");
    if (body.ending == endedCut) fail(expected, stageReceive, "recv: Disconnected\n");
    // A partial reply that stops short of the file's known end leaves the
    // rest to ask for.
    std::int64_t total = fuzzCase.resumes && fuzzCase.storedTotal >= 0 ? fuzzCase.storedTotal : model.rangeTotal;
    std::int64_t end = static_cast<std::int64_t>(fuzzCase.resumes ? expected.file.size() : expected.stored.size());
    bool short206 = model.replyStatus == 206 && expected.verdict == appendBody;
    if (expected.stage == stageCompleted && short206 && total >= 0 && end < total) {
        fail(expected, stageReceive, "recv: the partial reply ended at byte " + std::to_string(end) + ", before the end\n");
    }
    return expected;
}

// ---- Playing the reply.

void sendBlocks(int writer, const std::vector<std::string>& blocks, size_t first) {
    for (size_t index = first; index < blocks.size(); ++index) {
        if (send(writer, blocks[index].data(), blocks[index].size(), MSG_NOSIGNAL) < 0) break;
    }
    close(writer);
}

// Plays the reply into the reader end: each block one message, so each
// arrives as exactly one receive; then the orderly close. Writes what fits
// at once and leaves the rest to a thread, returned for joining.
std::thread playReply(int writer, const std::vector<std::string>& blocks) {
    for (size_t index = 0; index < blocks.size(); ++index) {
        const std::string& block = blocks[index];
        if (send(writer, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) continue;
        return std::thread(sendBlocks, writer, std::cref(blocks), index);
    }
    close(writer);
    return std::thread();
}

ssize_t appendToSink(void* sink, const char* bytes, size_t count) {
    static_cast<std::string*>(sink)->append(bytes, count);
    return static_cast<ssize_t>(count);
}

// Returns a stream that collects what is written into sink.
std::FILE* openSink(std::string& sink) {
    cookie_io_functions_t functions = {nullptr, appendToSink, nullptr, nullptr};
    std::FILE* file = fopencookie(&sink, "w", functions);
    if (file == nullptr) std::abort();
    std::fputs(kStoredBefore, file);
    return file;
}

std::string fileBytes(std::FILE* file) {
    std::fflush(file);
    struct stat status;
    if (fstat(fileno(file), &status) != 0) std::abort();
    std::string bytes(static_cast<size_t>(status.st_size), '\0');
    if (pread(fileno(file), &bytes[0], bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) std::abort();
    return bytes;
}

// Returns the output file, emptied and holding kStoredBefore.
std::FILE* freshOutput() {
    static std::FILE* output = nullptr;
    if (output == nullptr) output = fdopen(memfd_create("reply-body", 0), "w+b");
    if (output == nullptr || ftruncate(fileno(output), 0) != 0) std::abort();
    std::rewind(output);
    // Written out, as the file a run opens holds its bytes on disk.
    if (std::fputs(kStoredBefore, output) < 0 || std::fflush(output) != 0) std::abort();
    return output;
}

// A resumed request for the rest of the file whose first bytes the output holds.
void describeStoredBefore(const FuzzCase& fuzzCase, TransferRequest& request) {
    request.kind = attemptResume;
    request.rangeFirst = kStoredCount;
    request.stored.count = kStoredCount;
    request.stored.firstByte = 0;
    request.stored.ownBytes = 1;
    request.stored.totalLength = fuzzCase.storedTotal;
    std::snprintf(request.stored.validator, sizeof request.stored.validator, "%s",
                  fuzzCase.storedValidator.c_str());
    request.stored.validatorIsTag = storedValidatorIsTag(fuzzCase);
}

// ---- The checks.

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void checkHeaders(const ReplyModel& model, const TransferResult& result) {
    check(result.replyStatus == model.replyStatus, "replyStatus");
    check(result.contentLength == model.contentLength, "contentLength");
    check(result.rangeResolution == model.rangeResolution, "rangeResolution");
    check(result.rangeStart == model.rangeStart, "rangeStart");
    check(result.rangeTotal == model.rangeTotal, "rangeTotal");
    check(result.validator == model.validator, "validator");
    check(result.validatorIsTag == (model.validatorIsTag ? 1 : 0), "validatorIsTag");
    check(result.chunked == (model.chunked ? 1 : 0), "chunked");
    check(result.headerBytes == model.headerBytes, "headerBytes");
}

void checkNote(const Expected& expected, const std::string& note) {
    if (!expected.notePrefixOnly) {
        check(note == expected.note, "errorText");
        return;
    }
    bool oneLine = note.find('\n') == note.size() - 1;
    check(note.compare(0, expected.note.size(), expected.note) == 0 && oneLine, "errorText of a refused reply");
}

// The description of the stored bytes follows the file: a resumed request's
// bytes are all the file's; a fresh one's are only those of its reply.
void checkStoredDescription(const FuzzCase& fuzzCase, const ReplyModel& model, const Expected& expected,
                            const StoredBytes& stored) {
    if (!fuzzCase.resumes) {
        check(stored.count == static_cast<std::int64_t>(expected.stored.size()), "stored.count of a fresh attempt");
        return;
    }
    check(stored.count == static_cast<std::int64_t>(expected.file.size()), "stored.count == file length");
    check(stored.firstByte == 0 && stored.ownBytes == 1, "stored bytes begin the server's file");
    std::int64_t total = fuzzCase.storedTotal;
    std::string validator = fuzzCase.storedValidator;
    // A body that continues the stored bytes, or reads past them, adds only
    // what their description lacked; one that replaced them describes anew.
    bool continued = expected.verdict == appendBody && !fuzzCase.headersOnly && !model.inHeaders;
    bool readPast = expected.verdict == skipHeldBytes;
    if ((continued || readPast) && total < 0) total = readPast ? wholeReplyTotal(model) : model.rangeTotal;
    if ((continued || readPast) && validator.empty()) validator = model.validator;
    if (expected.emptied) {
        total = wholeReplyTotal(model);
        validator = model.validator;
    }
    check(stored.totalLength == total, "stored.totalLength");
    check(stored.validator == validator, "stored.validator");
}

void checkAgainstModel(const FuzzCase& fuzzCase, const TransferRequest& request, const TransferResult& result,
                       int completed, const std::string& file) {
    ReplyModel model;
    for (const std::string& block : fuzzCase.blocks) modelBlock(model, block);
    checkHeaders(model, result);
    Expected expected = expectOutcome(fuzzCase, model);
    check(result.stage == expected.stage, "stage");
    check(completed == (expected.stage == stageCompleted), "return value");
    checkNote(expected, textOf(result.errorText));
    check(result.replyRefused == expected.replyRefused, "replyRefused");
    check(result.bodyBytes == static_cast<std::int64_t>(expected.stored.size()), "bodyBytes");
    check(file.size() == expected.file.size(), "file length");
    check(file == expected.file, "file bytes");
    checkStoredDescription(fuzzCase, model, expected, request.stored);
}

void playAndCheck(const FuzzCase& fuzzCase) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    // Room for most replies at once spares the writer thread (the system
    // may grant less; the thread covers the rest).
    int room = 1 << 23;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    TransferRequest request;
    request.headersOnly = fuzzCase.headersOnly;
    request.keepsFile = fuzzCase.resumes;  // as -c does
    if (fuzzCase.resumes) describeStoredBefore(fuzzCase, request);
    std::string sink;
    request.output = fuzzCase.withoutDescriptor ? openSink(sink) : freshOutput();
    TransferResult result;
    std::thread writer = playReply(ends[1], fuzzCase.blocks);
    int completed = receiveReply(ends[0], request, result);
    // As after every attempt: a reader that stopped early must not leave
    // the writer blocked, and the next input starts without this one's
    // body pipe, whose size its first move chose (a smaller pipe than a
    // message would cut that message, which a TCP stream never is).
    closeSocket(ends[0]);
    if (writer.joinable()) writer.join();
    if (fuzzCase.withoutDescriptor) {
        std::fclose(request.output);
        checkAgainstModel(fuzzCase, request, result, completed, sink);
    } else {
        checkAgainstModel(fuzzCase, request, result, completed, fileBytes(request.output));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzCase fuzzCase;
    if (size > kLargestReply || !readCase(data, size, fuzzCase)) return 0;
    verbosity = 0;
    if (!fuzzCase.everySplit || fuzzCase.reply.size() > kLongestReplySplitEverywhere) {
        playAndCheck(fuzzCase);
        return 0;
    }
    // The same reply in two receives, broken at each offset in turn: no
    // split may change what is read.
    for (size_t split = 1; split < fuzzCase.reply.size(); ++split) {
        fuzzCase.blocks = {fuzzCase.reply.substr(0, split), fuzzCase.reply.substr(split)};
        playAndCheck(fuzzCase);
    }
    return 0;
}
