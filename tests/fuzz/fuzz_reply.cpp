// Feeds arbitrary reply bytes to the reply reader through a real socket,
// cut into receive blocks that the input chooses, and checks what must hold
// for any reply against a plain model of the reading rules.
//
// Input: one flags byte (bit 0: HEAD request, bit 1: the request continues
// stored bytes, bit 2: the output file has no descriptor, so every body
// byte goes through the receive block; bits 4-7: how many block sizes
// follow), two bytes per block size (little endian, 1 + value % 16383),
// then the reply. The sizes are used in turn, over and over; with none,
// blocks are as large as allowed.
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
const size_t kKeptLineLength = 999;
const size_t kLongestStatusWord = 99;
// What the file held before the attempt, as a resumed run would have it.
const char kStoredBefore[] = "stored-before";

struct FuzzCase {
    int headersOnly = 0;
    int continuesFile = 0;
    int withoutDescriptor = 0;
    std::vector<std::string> blocks;
    std::string reply;
};

// Splits the input into flags, block sizes and the reply. Returns 0 when
// the input is too short for its own size list.
int readCase(const std::uint8_t* data, size_t size, FuzzCase& fuzzCase) {
    if (size < 1) return 0;
    fuzzCase.headersOnly = data[0] & 1;
    fuzzCase.withoutDescriptor = (data[0] >> 2) & 1;
    // Emptying a file needs its descriptor.
    fuzzCase.continuesFile = (data[0] >> 1) & 1 & !fuzzCase.withoutDescriptor;
    size_t sizeCount = data[0] >> 4;
    if (size < 1 + 2 * sizeCount) return 0;
    std::vector<size_t> sizes;
    for (size_t index = 0; index < sizeCount; ++index) {
        size_t value = data[1 + 2 * index] | static_cast<size_t>(data[2 + 2 * index]) << 8;
        sizes.push_back(1 + value % kLargestBlock);
    }
    if (sizes.empty()) sizes.push_back(kLargestBlock);
    size_t offset = 1 + 2 * sizeCount;
    fuzzCase.reply.assign(reinterpret_cast<const char*>(data) + offset, size - offset);
    for (size_t start = 0, turn = 0; start < fuzzCase.reply.size(); ++turn) {
        size_t length = std::min(sizes[turn % sizes.size()], fuzzCase.reply.size() - start);
        fuzzCase.blocks.push_back(fuzzCase.reply.substr(start, length));
        start += length;
    }
    return 1;
}

// The reading rules, written plainly over whole strings.
struct ReplyModel {
    std::string line;  // the line being put together, uncut
    bool inHeaders = true;
    bool firstLine = true;
    std::int64_t headerBytes = 0;
    std::string body;
    int replyStatus = -1;
    int rangeResolution = 0;
    std::int64_t contentLength = -1;
};

int clampToInt(std::int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int>(value);
}

bool startsWithIgnoringCase(const std::string& text, size_t at, const char* prefix) {
    for (size_t index = 0; prefix[index] != '\0'; ++index, ++at) {
        if (at >= text.size()) return false;
        char byte = text[at];
        if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
        if (byte != prefix[index]) return false;
    }
    return true;
}

void modelStatusLine(ReplyModel& model, const std::string& line) {
    size_t at = 0;
    while (at < line.size() && isScanSpace(line[at])) ++at;
    size_t wordStart = at;
    while (at < line.size() && !isScanSpace(line[at])) ++at;
    size_t wordLength = at - wordStart;
    std::int64_t status = 0;
    if (wordLength > 0 && wordLength <= kLongestStatusWord && readInteger(line, at, status)) {
        model.replyStatus = clampToInt(status);
    }
}

void modelHeaderLine(ReplyModel& model, const std::string& line) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    size_t value = colon + 1;
    while (value < line.size() && static_cast<signed char>(line[value]) <= 32) ++value;
    std::int64_t number = 0;
    if (startsWithIgnoringCase(line, 0, "content-length")) {
        if (readInteger(line, value, number)) model.contentLength = number;
    } else if (startsWithIgnoringCase(line, 0, "accept-ranges")) {
        if (readInteger(line, value, number)) {
            model.rangeResolution = clampToInt(number);
        } else if (startsWithIgnoringCase(line, value, "bytes")) {
            model.rangeResolution = 1;
        }
    }
}

void modelLine(ReplyModel& model) {
    std::string line = model.line.substr(0, kKeptLineLength);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        model.inHeaders = false;
    } else if (model.firstLine) {
        modelStatusLine(model, line);
        model.firstLine = false;
    } else {
        modelHeaderLine(model, line);
    }
}

// One received block: header lines up to the first zero byte, then body.
void modelBlock(ReplyModel& model, const std::string& block) {
    size_t at = 0;
    size_t visibleEnd = std::min(block.find('\0'), block.size());
    while (model.inHeaders) {
        size_t lineEnd = block.find('\n', at);
        if (lineEnd == std::string::npos || lineEnd >= visibleEnd) {
            model.line += block.substr(at, visibleEnd - at);
            model.headerBytes += static_cast<std::int64_t>(block.size() - at);
            return;
        }
        model.headerBytes += static_cast<std::int64_t>(lineEnd + 1 - at);
        model.line += block.substr(at, lineEnd - at);
        at = lineEnd + 1;
        modelLine(model);
        model.line.clear();
    }
    model.body += block.substr(at);
}

// The stage the attempt must end with after an orderly close.
int expectedStage(const FuzzCase& fuzzCase, const ReplyModel& model) {
    if (fuzzCase.headersOnly) return stageCompleted;
    if (model.inHeaders) return stageReceive;
    bool announcesWholeBody = model.replyStatus == 200 || model.replyStatus == 206;
    bool shortBody = static_cast<std::int64_t>(model.body.size()) < model.contentLength;
    return announcesWholeBody && model.contentLength >= 0 && shortBody ? stageReceive : stageCompleted;
}

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
    std::fputs(kStoredBefore, output);
    return output;
}

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void checkAgainstModel(const FuzzCase& fuzzCase, const TransferResult& result, int completed,
                       const std::string& file) {
    ReplyModel model;
    for (const std::string& block : fuzzCase.blocks) modelBlock(model, block);
    std::int64_t received = static_cast<std::int64_t>(fuzzCase.reply.size());
    int stage = expectedStage(fuzzCase, model);
    check(result.stage == stage, "stage");
    check(completed == (stage == stageCompleted), "return value");
    check(result.replyStatus == model.replyStatus, "replyStatus");
    check(result.contentLength == model.contentLength, "contentLength");
    check(result.rangeResolution == model.rangeResolution, "rangeResolution");
    check(result.headerBytes == model.headerBytes, "headerBytes");
    check(result.bodyBytes == static_cast<std::int64_t>(model.body.size()), "bodyBytes");
    if (model.inHeaders) {
        check(result.headerBytes == received && result.bodyBytes == 0, "unended header section counts");
    } else {
        check(result.headerBytes + result.bodyBytes == received, "headerBytes + bodyBytes == received");
    }
    bool startsOver = fuzzCase.continuesFile && !model.inHeaders && model.replyStatus != 206;
    check(result.startedOver == (startsOver ? 1 : 0), "startedOver");
    std::string stored = startsOver ? std::string() : std::string(kStoredBefore);
    check(file.size() == stored.size() + static_cast<size_t>(result.bodyBytes), "file length == bodyBytes");
    check(file == stored + model.body, "file bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzCase fuzzCase;
    if (size > kLargestReply || !readCase(data, size, fuzzCase)) return 0;
    verbosity = 0;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    // Room for most replies at once spares the writer thread (the system
    // may grant less; the thread covers the rest).
    int room = 1 << 23;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    TransferRequest request;
    request.headersOnly = fuzzCase.headersOnly;
    request.continuesFile = fuzzCase.continuesFile;
    std::string sink;
    request.output = fuzzCase.withoutDescriptor ? openSink(sink) : freshOutput();
    TransferResult result;
    std::thread writer = playReply(ends[1], fuzzCase.blocks);
    int completed = receiveReply(ends[0], request, result);
    close(ends[0]);  // a reader that stopped early must not leave the writer blocked
    if (writer.joinable()) writer.join();
    if (fuzzCase.withoutDescriptor) {
        std::fclose(request.output);
        checkAgainstModel(fuzzCase, result, completed, sink);
    } else {
        checkAgainstModel(fuzzCase, result, completed, fileBytes(request.output));
    }
    return 0;
}
