// The two ways a body reaches the output: moved by the kernel straight
// from the socket into the file, and read into the receive block and
// written. Every kind of output must end up with exactly the body bytes,
// resume and restart alike, and a refusing output must give the same note.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "http/transfer.h"
#include "platform/platform.h"
#include "support/log.h"
#include "tests/support/fake_server.h"
#include "tests/support/in_process.h"

namespace {

const size_t kBodySize = 700 * 1024 + 123;
// The most the plain path reads at once.
const std::int64_t kReceiveBlock = 16383;

// An output under test and how to read back what reached it.
struct Output {
    std::FILE* file = nullptr;
    std::string path;                 // a regular file's name, removed at the end
    std::string* collected = nullptr; // bytes of an output that cannot be read back
    int pipeReader = -1;
    std::thread reader;
};

std::string temporaryPath() {
    char name[] = "/tmp/webhaul-body-XXXXXX";
    int descriptor = mkstemp(name);
    if (descriptor >= 0) close(descriptor);
    return name;
}

void openRegularFile(Output& output) {
    output.path = temporaryPath();
    output.file = std::fopen(output.path.c_str(), "w+b");
}

// Appending: the kernel refuses to move pipe bytes into such a file, so
// the first block is rescued through memory and the rest goes the plain way.
void openAppendingFile(Output& output) {
    output.path = temporaryPath();
    output.file = std::fopen(output.path.c_str(), "a+b");
}

ssize_t collect(void* cookie, const char* bytes, size_t count) {
    static_cast<std::string*>(cookie)->append(bytes, count);
    return static_cast<ssize_t>(count);
}

// A stream with no descriptor at all: only the plain path can feed it.
void openStreamWithoutDescriptor(Output& output) {
    output.collected = new std::string;
    cookie_io_functions_t functions = {nullptr, collect, nullptr, nullptr};
    output.file = fopencookie(output.collected, "wb", functions);
}

// A pipe whose other end a thread reads: the kernel moves bytes pipe to pipe.
void openPipe(Output& output) {
    int ends[2];
    if (pipe(ends) != 0) return;
    output.collected = new std::string;
    output.pipeReader = ends[0];
    std::string* collected = output.collected;
    output.reader = std::thread([collected, ends]() {
        char block[65536];
        ssize_t count;
        while ((count = read(ends[0], block, sizeof block)) > 0) collected->append(block, static_cast<size_t>(count));
    });
    output.file = fdopen(ends[1], "wb");
}

// Closes the output. Returns every byte that reached it.
std::string closeOutput(Output& output) {
    std::string bytes;
    if (!output.path.empty()) bytes = fileBytes(output.file);
    std::fclose(output.file);
    if (output.reader.joinable()) output.reader.join();
    if (output.pipeReader >= 0) close(output.pipeReader);
    if (output.collected != nullptr) bytes = *output.collected;
    delete output.collected;
    if (!output.path.empty()) std::remove(output.path.c_str());
    return bytes;
}

// Which progress steps may exceed the receive block.
enum LargeSteps { noLargeStep, largeSteps, onlyFirstStepLarge };

struct OutputCase {
    const char* name;
    void (*open)(Output& output);
    LargeSteps steps;
};

const OutputCase kOutputCases[] = {
    {"RegularFileTakesDirectPath", openRegularFile, largeSteps},
    {"PipeTakesDirectPath", openPipe, largeSteps},
    {"AppendingFileFallsBackAfterFirstBlock", openAppendingFile, onlyFirstStepLarge},
    {"StreamWithoutDescriptorFallsBack", openStreamWithoutDescriptor, noLargeStep},
};

// Returns the body counts of the progress lines in the log, in order.
std::vector<std::int64_t> progressCounts(const std::string& log) {
    std::vector<std::int64_t> counts;
    for (size_t at = log.find("\rReceived "); at != std::string::npos; at = log.find("\rReceived ", at + 1)) {
        counts.push_back(std::strtoll(log.c_str() + at + 10, nullptr, 10));
    }
    return counts;
}

// Returns the largest step between progress counts, from the given line on.
std::int64_t largestStep(const std::vector<std::int64_t>& counts, size_t from) {
    std::int64_t largest = 0;
    for (size_t index = from; index < counts.size(); ++index) {
        largest = std::max(largest, counts[index] - (index == 0 ? 0 : counts[index - 1]));
    }
    return largest;
}

class BodyPath : public testing::TestWithParam<OutputCase> {};

TEST_P(BodyPath, StoresEveryByteAndShowsEveryBlock) {
    std::string body = patternBytes(kBodySize, 7);
    std::string length = "Content-Length: " + std::to_string(body.size());
    FakeServer server;
    // The pause puts the body after the block that ends the header section.
    ASSERT_EQ(0, startFakeServer(server, 0, {{sendData(httpReply("HTTP/1.0 200 OK", {length}, "")), pauseFor(30),
                                              sendData(body, 100000), closeInOrder()}}));
    TransferRequest request;
    prepareRequest(request, server.port, "/body");
    std::fclose(request.output);
    Output output;
    GetParam().open(output);
    ASSERT_NE(nullptr, output.file);
    request.output = output.file;
    TransferResult result;
    verbosity = 3;
    StderrCapture capture;
    beginStderrCapture(capture);
    int completed = fetchOnce(request, result);
    std::string log = endStderrCapture(capture);
    stopFakeServer(server);
    EXPECT_EQ(1, completed) << textOf(result.errorText);
    EXPECT_EQ(static_cast<std::int64_t>(body.size()), result.bodyBytes);
    EXPECT_TRUE(closeOutput(output) == body);
    std::vector<std::int64_t> counts = progressCounts(log);
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(result.bodyBytes, counts.back());
    EXPECT_EQ("\rReceived " + std::to_string(body.size()) + "/" + std::to_string(body.size()) + " (100.0%)...\n",
              log.substr(log.rfind('\r')));
    switch (GetParam().steps) {
        case largeSteps:
            EXPECT_GT(largestStep(counts, 0), kReceiveBlock);
            break;
        case onlyFirstStepLarge:
            EXPECT_GT(counts[0], kReceiveBlock);
            EXPECT_LE(largestStep(counts, 1), kReceiveBlock);
            break;
        case noLargeStep:
            EXPECT_LE(largestStep(counts, 0), kReceiveBlock);
            break;
    }
}

// A broken first reply, then a retry that either continues the stored
// bytes (206) or starts the file over (200).
struct RetryCase {
    const char* name;
    void (*open)(Output& output);
    const char* retryStatus;
};

const RetryCase kRetryCases[] = {
    {"ResumeOnDirectPath", openRegularFile, "HTTP/1.0 206 Partial Content"},
    {"RestartOnDirectPath", openRegularFile, "HTTP/1.0 200 OK"},
    {"ResumeOnPlainPath", openAppendingFile, "HTTP/1.0 206 Partial Content"},
    {"RestartOnPlainPath", openAppendingFile, "HTTP/1.0 200 OK"},
};

class BodyPathRetry : public testing::TestWithParam<RetryCase> {};

TEST_P(BodyPathRetry, LeavesExactlyTheBody) {
    const RetryCase& c = GetParam();
    std::string body = patternBytes(kBodySize, 3);
    const size_t kCut = 300 * 1024 + 5;
    std::string first = httpReply("HTTP/1.0 200 OK", {"Content-Length: " + std::to_string(body.size()), "Accept-Ranges: bytes"}, "");
    int resumed = std::string(c.retryStatus).find("206") != std::string::npos;
    std::string rest = resumed ? body.substr(kCut) : body;
    std::vector<std::string> headers = {"Content-Length: " + std::to_string(rest.size())};
    if (resumed) {
        headers.push_back("Content-Range: bytes " + std::to_string(kCut) + "-" + std::to_string(body.size() - 1) + "/" +
                          std::to_string(body.size()));
    }
    std::string second = httpReply(c.retryStatus, headers, "");
    FakeServer server;
    ASSERT_EQ(0, startFakeServer(server, 0,
                                 {{sendData(first), pauseFor(30), sendData(body.substr(0, kCut), 65536), pauseFor(30),
                                   resetConnection()},
                                  {sendData(second), pauseFor(30), sendData(rest, 65536), closeInOrder()}}));
    TransferRequest request;
    prepareRequest(request, server.port, "/retry");
    std::fclose(request.output);
    Output output;
    c.open(output);
    ASSERT_NE(nullptr, output.file);
    request.output = output.file;
    TransferResult result;
    verbosity = 0;
    EXPECT_EQ(10, transferWithRetries(request, result));
    std::vector<std::string> requests = stopFakeServer(server);
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("GET /retry HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(server.port) + "\r\nRange: bytes=" + std::to_string(kCut) + "-\r\n\r\n", requests[1]);
    EXPECT_EQ(static_cast<std::int64_t>(body.size()), request.stored.count);
    EXPECT_TRUE(closeOutput(output) == body);
}

INSTANTIATE_TEST_SUITE_P(Outputs, BodyPath, testing::ValuesIn(kOutputCases), CaseName());
INSTANTIATE_TEST_SUITE_P(Outputs, BodyPathRetry, testing::ValuesIn(kRetryCases), CaseName());

// Runs one attempt whose body goes to a file that refuses bytes.
TransferResult fetchIntoRefusingFile(std::FILE* file, int bodyWithHeaders) {
    std::string body = patternBytes(kBodySize, 5);
    std::string head = httpReply("HTTP/1.0 200 OK", {"Content-Length: " + std::to_string(body.size())}, "");
    ConnectionScript script = bodyWithHeaders
                                  ? ConnectionScript{sendData(head + body), closeInOrder()}
                                  : ConnectionScript{sendData(head), pauseFor(30), sendData(body), closeInOrder()};
    FakeServer server;
    TransferResult result;
    if (startFakeServer(server, 0, {script}) != 0) return result;
    TransferRequest request;
    prepareRequest(request, server.port, "/refused");
    std::fclose(request.output);
    request.output = file;
    verbosity = 0;
    EXPECT_EQ(0, fetchOnce(request, result));
    stopFakeServer(server);
    return result;
}

// A device other than the null device goes the plain way, whether or not
// the block that ends the header section carries body bytes.
TEST(BodyPathRefused, FullDeviceGivesSameNoteOnEitherStart) {
    static char buffer[64 * 1024];
    for (int bodyWithHeaders = 0; bodyWithHeaders <= 1; ++bodyWithHeaders) {
        std::FILE* full = std::fopen("/dev/full", "wb");
        ASSERT_NE(nullptr, full);
        std::setvbuf(full, buffer, _IOFBF, sizeof buffer);
        TransferResult result = fetchIntoRefusingFile(full, bodyWithHeaders);
        EXPECT_EQ(stageWriteFile, result.stage) << bodyWithHeaders;
        EXPECT_STREQ("fwrite: No space left on device\n", textOf(result.errorText));
        std::fclose(full);
    }
}

// A file size limit makes the kernel refuse bytes in the middle of a
// direct move, or among the bytes that came with the header section; the
// plain path must report the same, and only bytes in the file count.
TEST(BodyPathRefused, FileSizeLimitGivesSameNoteOnBothPaths) {
    struct {
        rlim_t limit;
        int bodyWithHeaders;
    } const rows[] = {{200000, 0}, {1000, 1}};
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    void (*savedHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& row : rows) {
        rlimit limited = saved;
        limited.rlim_cur = row.limit;
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
        std::string notes[2];
        std::string stored[2];
        TransferResult direct;
        void (*opens[2])(Output&) = {openRegularFile, openAppendingFile};
        for (int path = 0; path < 2; ++path) {
            Output output;
            opens[path](output);
            ASSERT_NE(nullptr, output.file);
            static char buffer[64 * 1024];  // as large as the program's, which holds the first block
            std::setvbuf(output.file, buffer, _IOFBF, sizeof buffer);
            TransferResult result = fetchIntoRefusingFile(output.file, row.bodyWithHeaders);
            EXPECT_EQ(stageWriteFile, result.stage) << path;
            notes[path] = textOf(result.errorText);
            if (path == 0) {
                direct = result;
                // A move the file refused midway leaves the stream where the file ends.
                EXPECT_EQ(static_cast<off_t>(row.limit), ftello(output.file));
            }
            stored[path] = closeOutput(output);
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ("fwrite: File too large\n", notes[0]) << row.limit;
        EXPECT_EQ(notes[0], notes[1]);
        // Every byte the direct path counted is in the file, up to the limit.
        EXPECT_EQ(static_cast<std::int64_t>(row.limit), direct.bodyBytes);
        EXPECT_TRUE(stored[0] == patternBytes(row.limit, 5));
        EXPECT_TRUE(stored[1] == patternBytes(stored[1].size(), 5));
    }
    std::signal(SIGXFSZ, savedHandler);
}

// Writes at an offset, perhaps after a cut; the tail of the file shows
// where the bytes landed.
struct PlacementCase {
    const char* name;
    const char* before;
    std::int64_t cut;  // -1: none
    std::int64_t at;
    const char* bytes;
    std::int64_t size;
    std::string tail;
    int moveCapacity;  // 0: written through the stream; else moved from a socket, at most this much a call
};

const PlacementCase kPlacementCases[] = {
    {"PastTheEndLeavesZeros", "abc", -1, 6, "XY", 8, std::string("abc\0\0\0XY", 8), 0},
    {"InsideOverwrites", "abcdef", -1, 2, "Z", 6, "abZdef", 0},
    {"CutKeepsLeadingBytes", "abcdef", 2, 2, "Q", 3, "abQ", 0},
    {"PastTwoGibibytes", "abc", -1, std::int64_t(3) << 30, "XY", (std::int64_t(3) << 30) + 2, "XY", 0},
    {"MovedPastTheEndLeavesZeros", "abc", -1, 6, "XY", 8, std::string("abc\0\0\0XY", 8), 65536},
    {"MovedAfterCutKeepsLeadingBytes", "abcdef", 2, 2, "Q", 3, "abQ", 65536},
    {"MovedThroughPipeRefusingLargerSize", "abcdef", -1, 2, "Z", 6, "abZdef", 1 << 30},
};

// Writes text through the stream, or moves it in from a socket as a body
// block comes. Returns the count that reached the file.
int putText(std::FILE* file, const char* text, int moveCapacity) {
    if (moveCapacity == 0) return std::fputs(text, file) >= 0 ? static_cast<int>(std::strlen(text)) : -1;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0 || write(ends[1], text, std::strlen(text)) < 0) return -1;
    close(ends[1]);
    int written = 0;
    int moved = moveSocketBytesToFile(ends[0], file, moveCapacity, written);
    closeSocket(ends[0]);
    return moved;
}

class OutputPlacement : public testing::TestWithParam<PlacementCase> {};

TEST_P(OutputPlacement, LandsAtTheOffset) {
    const PlacementCase& row = GetParam();
    Output output;
    openRegularFile(output);
    EXPECT_EQ(static_cast<int>(std::strlen(row.before)), putText(output.file, row.before, row.moveCapacity));
    const char* failedCall = "";
    EXPECT_EQ(0, row.cut >= 0 ? cutOutputFile(output.file, row.cut, &failedCall) : 0) << failedCall;
    ASSERT_EQ(0, seekOutputFile(output.file, row.at));
    // The direct path writes where the descriptor stands.
    EXPECT_EQ(row.at, lseek(fileno(output.file), 0, SEEK_CUR));
    EXPECT_EQ(static_cast<int>(std::strlen(row.bytes)), putText(output.file, row.bytes, row.moveCapacity));
    // The stream's position follows bytes moved behind its back.
    EXPECT_EQ(row.at + static_cast<off_t>(std::strlen(row.bytes)), ftello(output.file));
    std::fflush(output.file);
    EXPECT_EQ(row.size, regularFileSize(output.file));
    std::string tail(row.tail.size(), '?');
    off_t from = static_cast<off_t>(row.size) - static_cast<off_t>(tail.size());
    EXPECT_EQ(static_cast<ssize_t>(tail.size()), pread(fileno(output.file), &tail[0], tail.size(), from));
    EXPECT_EQ(row.tail, tail);
    std::fclose(output.file);
    std::remove(output.path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Files, OutputPlacement, testing::ValuesIn(kPlacementCases), CaseName());

// Returns the file's bytes, or "(none)"; with text, first makes them that.
std::string fileText(const std::string& path, const char* text = nullptr) {
    std::FILE* file = std::fopen(path.c_str(), text != nullptr ? "w+b" : "rb");
    if (file == nullptr) return "(none)";
    if (text != nullptr) std::fputs(text, file);
    std::string bytes = fileBytes(file);
    std::fclose(file);
    return bytes;
}

// What a leftover of the temporary name is, or where the state file goes.
enum Leftover { noLeftover, linkedLeftover, missingDirectory };

struct ReplaceCase {
    const char* name;
    Leftover leftover;
    int result;
    const char* failedCall;
    const char* content;
};

const ReplaceCase kReplaceCases[] = {
    {"ReplacesExistingFile", noLeftover, 0, "", "new"},
    {"RemovesLinkedLeftoverOnly", linkedLeftover, 0, "", "new"},
    {"MissingDirectoryFailsAtOpen", missingDirectory, -1, "open", "(none)"},
};

class ReplaceFile : public testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceFile, LeavesOnlyTheNewContent) {
    const ReplaceCase& row = GetParam();
    char directory[] = "/tmp/webhaul-state-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(directory));
    std::string base = directory;
    std::string name = base + (row.leftover == missingDirectory ? "/gone/out.webhaul" : "/out.webhaul");
    fileText(base + "/out.webhaul", "old content");
    fileText(base + "/other", "other");
    EXPECT_EQ(0, row.leftover == linkedLeftover ? symlink((base + "/other").c_str(), (name + ".tmp").c_str()) : 0);
    const char* failedCall = "";
    EXPECT_EQ(row.result, replaceFileContent(name.c_str(), "new", 3, &failedCall));
    EXPECT_STREQ(row.failedCall, row.result != 0 ? failedCall : "");
    EXPECT_EQ(row.content, fileText(name));
    EXPECT_EQ("other", fileText(base + "/other"));
    EXPECT_EQ("(none)", fileText(name + ".tmp"));
    for (const char* each : {"/out.webhaul", "/other", "/gone"}) EXPECT_EQ(0, removeFileIfPresent((base + each).c_str()));
    rmdir(directory);
}

INSTANTIATE_TEST_SUITE_P(States, ReplaceFile, testing::ValuesIn(kReplaceCases), CaseName());

// Two connections: which peer sent a byte or closed, and what the wait sees.
struct ReadableCase {
    const char* name;
    int sendOn;   // -1: none
    int closeOn;  // -1: none
    int writeOn;  // -1: none; that socket is waited on for writing
    int count;
    int ready[2];
};

const ReadableCase kReadableCases[] = {
    {"SecondHasBytes", 1, -1, -1, 1, {0, 1}},
    {"ClosedPeerCounts", -1, 0, -1, 1, {1, 0}},
    {"NothingTimesOut", -1, -1, -1, 0, {0, 0}},
    {"WritableCounts", -1, -1, 1, 1, {0, 1}},
};

class ReadableSockets : public testing::TestWithParam<ReadableCase> {};

TEST_P(ReadableSockets, MarksOnlyTheReadyOnes) {
    const ReadableCase& row = GetParam();
    int pairs[2][2];
    SocketHandle sockets[2];
    for (int index = 0; index < 2; ++index) {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pairs[index]));
        sockets[index] = pairs[index][0];
    }
    EXPECT_EQ(1, row.sendOn >= 0 ? write(pairs[row.sendOn][1], "x", 1) : 1);
    if (row.closeOn >= 0) close(pairs[row.closeOn][1]);
    int ready[2] = {-1, -1};
    int forWrite[2] = {row.writeOn == 0, row.writeOn == 1};
    std::int64_t startedAt = monotonicMillis();
    EXPECT_EQ(row.count, waitForReadableSockets(sockets, row.writeOn >= 0 ? forWrite : nullptr, 2, ready, 200));
    EXPECT_EQ(row.ready[0], ready[0]);
    EXPECT_EQ(row.ready[1], ready[1]);
    std::int64_t waited = monotonicMillis() - startedAt;
    EXPECT_TRUE(row.count == 0 ? waited >= 200 : waited < 200) << waited;
    for (int index = 0; index < 2; ++index) {
        close(pairs[index][0]);
        if (index != row.closeOn) close(pairs[index][1]);
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, ReadableSockets, testing::ValuesIn(kReadableCases), CaseName());

}  // namespace
