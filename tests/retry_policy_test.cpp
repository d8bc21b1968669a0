// The retry policy against scripted servers: which requests it makes, the
// notes it prints, what the file holds at the end, and the exit status.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <unistd.h>

#include "http/transfer.h"
#include "support/log.h"
#include "tests/support/fake_server.h"
#include "tests/support/in_process.h"

namespace {

const std::string kSource = patternBytes(100000, 11);
const std::string kChanged = patternBytes(20000, 200);
const std::string kResetNote = "recv: Connection reset\n\n";
const std::string kTag = "ETag: \"v1\"\r\n";
const std::string kRefusedNote = "connect(127.0.0.1:PORT): Connection refused\n";

std::string part(std::int64_t first, std::int64_t end) {
    return kSource.substr(static_cast<size_t>(first), static_cast<size_t>(end - first));
}

std::string wholeHead(size_t length, bool ranges, const std::string& more = "") {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n" +
           (ranges ? "Accept-Ranges: bytes\r\n" : "") + more + "\r\n";
}

// A 206 head for bytes first..last of a file of total bytes (kSource's
// size unless given), with or without Accept-Ranges.
std::string rangeHead(std::int64_t first, std::int64_t last, bool ranges = false,
                      std::int64_t total = static_cast<std::int64_t>(kSource.size()), const std::string& more = "") {
    return "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
           std::to_string(last) + "/" + std::to_string(total) + "\r\nContent-Length: " +
           std::to_string(last - first + 1) + "\r\n" + (ranges ? "Accept-Ranges: bytes\r\n" : "") + more + "\r\n";
}

std::string errorPage(const std::string& statusLine) {
    return "HTTP/1.0 " + statusLine + "\r\nContent-Length: 4\r\n\r\noops";
}

ConnectionScript resetAfter(const std::string& bytes) { return {sendData(bytes), resetConnection()}; }
ConnectionScript closeAfter(const std::string& bytes) { return {sendData(bytes), closeInOrder()}; }

std::string repeated(const std::string& text, int count) {
    std::string result;
    for (int index = 0; index < count; ++index) result += text;
    return result;
}

// The output the run writes to.
enum OutputKind {
    regularFile,
    fullDeviceUnbuffered,  // every write fails at once
    fullDeviceBuffered,    // writes fail only when the buffer is written out
    pipeOutput,            // keeps what it was given: cannot be emptied
};

struct RetryCase {
    const char* name;
    std::int64_t rangeFirst;
    std::int64_t rangeLast;
    std::vector<ConnectionScript> scripts;  // none: every connect is refused
    std::vector<std::string> ranges;        // the Range value of each request, "" for none
    std::string notes;                      // PORT stands for the server's port
    std::string file;                       // what the output holds at the end
    int status;
    OutputKind output = regularFile;
    // For a full device: how the last note begins.
    const char* writeNote = nullptr;
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

const std::string kChangedFile = patternBytes(120000, 77);

std::vector<RetryCase> retryCases() {
    return {
        {"ResumeWith206Continuation", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 30000)), closeAfter(rangeHead(30000, 99999) + part(30000, 100000))},
         {"", "30000-"}, kResetNote, kSource, 10},
        {"RestartWithoutRangesLeavesNoOldTail", -1, -1,
         {resetAfter(wholeHead(60000, false) + part(0, 40000)), closeAfter(wholeHead(20000, false) + kChanged)},
         {"", ""}, kResetNote, kChanged, 10},
        // The server ignored the range, then honoured it on the restart.
        {"RestartKeepsCommandLineRange", 1000, 50999,
         {resetAfter(wholeHead(100000, false) + part(0, 30000)), closeAfter(rangeHead(1000, 50999) + part(1000, 51000))},
         {"1000-50999", "1000-50999"}, kResetNote, part(1000, 51000), 10},
        // No Accept-Ranges line, but a 206 shows the server takes ranges.
        {"PartialReplyProvesRanges", 1000, 50999,
         {resetAfter(rangeHead(1000, 50999) + part(1000, 31000)), closeAfter(rangeHead(31000, 50999) + part(31000, 51000))},
         {"1000-50999", "31000-50999"}, kResetNote, part(1000, 51000), 10},
        {"ResumeDecidedByFirstReplyOnly", -1, -1,
         {resetAfter(wholeHead(60000, false) + part(0, 30000)), resetAfter(wholeHead(60000, true) + part(0, 30000)),
          closeAfter(wholeHead(60000, true) + part(0, 60000))},
         {"", "", ""}, kResetNote + kResetNote, part(0, 60000), 10},
        {"RefusedEveryTime", -1, -1, {}, {}, repeated(kRefusedNote, 3), "", 12},
        {"CounterGoesOneOneTwoThree", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 5000)), resetAfter(rangeHead(5000, 99999) + part(5000, 6000)),
          resetAfter(rangeHead(6000, 99999) + part(6000, 36000)), resetAfter(rangeHead(36000, 99999) + part(36000, 37000)),
          resetAfter(rangeHead(37000, 99999) + part(37000, 38000))},
         {"", "5000-", "6000-", "36000-", "37000-"}, repeated(kResetNote, 4), part(0, 38000), 14},
        {"FirstAttemptWithoutReplyNeverResumes", -1, -1,
         {closeAfter(""), closeAfter(wholeHead(60000, true) + part(0, 60000))}, {"", ""}, "recv: Disconnected\n\n",
         part(0, 60000), 10},
        {"RangeResumedAfter206KeepsItsEnd", 1000, 50999,
         {resetAfter(rangeHead(1000, 50999, true) + part(1000, 31000)),
          closeAfter(rangeHead(31000, 50999) + part(31000, 51000))},
         {"1000-50999", "31000-50999"}, kResetNote, part(1000, 51000), 10},
        {"RangeAnsweredWith200ResumesFromStoredBytes", 1000, 50999,
         {resetAfter(wholeHead(100000, true) + part(0, 30000)), closeAfter(rangeHead(30000, 99999) + part(30000, 100000))},
         {"1000-50999", "30000-"}, kResetNote, kSource, 10},
        {"ResumeAnsweredWholeFileStartsOver", -1, -1,
         {resetAfter(wholeHead(60000, true) + part(0, 30000)), closeAfter(wholeHead(60000, true) + part(0, 60000))},
         {"", "30000-"}, kResetNote, part(0, 60000), 10},
        // A restart that brings fewer bytes than the file held gained nothing.
        {"WholeFileAfterResumeIsResumedFromItsOwnBody", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 30000)), resetAfter(wholeHead(100000, true) + part(0, 10000)),
          closeAfter(rangeHead(10000, 99999) + part(10000, 100000))},
         {"", "30000-", "10000-"}, kResetNote + kResetNote, kSource, 10},
        {"ErrorPageIsNeverResumed", -1, -1,
         {resetAfter(wholeHead(60000, true) + part(0, 30000)), resetAfter(errorPage("500 Server Error")),
          closeAfter(wholeHead(60000, true) + part(0, 60000))},
         {"", "30000-", ""},
         kResetNote + "Reply not stored: status 500 in place of the rest of the file\n\n", part(0, 60000), 10},
        // Every body byte came, then a reset; no length was given, so only
        // the server can say the file is complete.
        {"AllBytesThenReset416SaysComplete", -1, -1,
         {resetAfter("HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\n\r\n" + kSource),
          closeAfter("HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */100000\r\nContent-Length: 9\r\n\r\n"
                     "bad range")},
         {"", "100000-"}, kResetNote, kSource, 10},
        {"AllBytesOfKnownLengthThenResetCompletes", -1, -1,
         {resetAfter(wholeHead(100000, true) + kSource)}, {""}, "", kSource, 0},
        {"Resume416WithOtherTotalKeepsStoredBytes", -1, -1,
         {resetAfter("HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\n\r\n" + part(0, 60000)),
          closeAfter("HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */100000\r\n\r\n")},
         {"", "60000-"},
         kResetNote + "Reply not stored: the file on the server has 100000 bytes, the stored ones end at 60000\n\n" +
             repeated(kRefusedNote, 1),
         part(0, 60000), 12},
        {"CutWithoutRangesServerGoneKeepsPrefix", -1, -1,
         {resetAfter(wholeHead(100000, false) + part(0, 60000))}, {""}, kResetNote + repeated(kRefusedNote, 2),
         part(0, 60000), 12},
        {"Resume503KeepsPrefix", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 60000)), closeAfter(errorPage("503 Busy")),
          closeAfter(errorPage("503 Busy")), closeAfter(errorPage("503 Busy"))},
         {"", "60000-", "", ""},
         kResetNote + "Reply not stored: status 503 in place of the rest of the file\n\n" +
             "Reply not stored: status 503 in place of the file\n\n",
         part(0, 60000), 14},
        {"ResumeFromWrongOffsetRefused", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 60000)), closeAfter(rangeHead(59000, 99999) + part(59000, 100000)),
          closeAfter(wholeHead(100000, true) + kSource)},
         {"", "60000-", ""}, kResetNote + "Reply not stored: it starts at byte 59000, not at byte 60000\n\n", kSource, 10},
        {"ChangedFileRefusedThenReplaced", -1, -1,
         {resetAfter(wholeHead(100000, true, "ETag: \"old\"\r\n") + part(0, 60000)),
          closeAfter(rangeHead(60000, 119999, true, 120000, "ETag: \"new\"\r\n") + kChangedFile.substr(60000)),
          closeAfter(wholeHead(120000, true, "ETag: \"new\"\r\n") + kChangedFile)},
         {"", "60000-", ""}, kResetNote + "Reply not stored: the file changed on the server\n\n", kChangedFile, 10},
        // The same file again: its first bytes are read past, not stored again.
        {"SameFile200KeepsStoredBytes", -1, -1,
         {resetAfter(wholeHead(100000, true, kTag) + part(0, 30000)), resetAfter(wholeHead(100000, true, kTag) + part(0, 10000)),
          closeAfter(rangeHead(30000, 99999, false, 100000, kTag) + part(30000, 100000))},
         {"", "30000-", "30000-"}, kResetNote + kResetNote, kSource, 10},
        {"Header200ThenResetKeepsStoredBytes", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 30000)), resetAfter(wholeHead(100000, true)),
          closeAfter(rangeHead(30000, 99999) + part(30000, 100000))},
         {"", "30000-", "30000-"}, kResetNote + kResetNote, kSource, 10},
        {"Empty200ReplacesStoredBytes", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 30000)), closeAfter(wholeHead(0, true))}, {"", "30000-"},
         kResetNote, "", 10},
        {"UnaskedPartialFromLaterByteRefused", -1, -1,
         {closeAfter(rangeHead(100, 99999) + part(100, 100000)), closeAfter(wholeHead(100000, false) + kSource)},
         {"", ""}, "Reply not stored: it starts at byte 100, not at byte 0\n\n", kSource, 10},
        {"UnaskedPartialFromFirstByteResumed", -1, -1,
         {closeAfter(rangeHead(0, 59999) + part(0, 60000)), closeAfter(rangeHead(60000, 99999) + part(60000, 100000))},
         {"", "60000-"}, "recv: the partial reply ended at byte 60000, before the end\n\n", kSource, 10},
        {"BytesPastContentLengthDropped", -1, -1,
         {closeAfter(wholeHead(100000, false) + kSource + patternBytes(5000, 1))}, {""}, "", kSource, 0},
        {"SameBreakPointGivesUp", -1, -1,
         {resetAfter(wholeHead(100000, false) + part(0, 60000)), resetAfter(wholeHead(100000, false) + part(0, 60000)),
          resetAfter(wholeHead(100000, false) + part(0, 60000)), resetAfter(wholeHead(100000, false) + part(0, 60000)),
          closeAfter(wholeHead(100000, false) + kSource)},
         {"", "", "", ""}, repeated(kResetNote, 3), part(0, 60000), 14},
        // No length, but the range says where the body ends: the reset
        // after it is never met.
        {"PartialBodyEndsAtItsRange", 0, 99,
         {resetAfter("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 0-99/100000\r\n\r\n" + part(0, 100))},
         {"0-99"}, "", part(0, 100), 0},
        {"PartialBodyPastAskedEndCut", 0, 99,
         {closeAfter("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 0-199/100000\r\n\r\n" + part(0, 200))},
         {"0-99"}, "", part(0, 100), 0},
        {"PartialReplyShortOfTheEndResumed", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 30000)), closeAfter(rangeHead(30000, 59999) + part(30000, 60000)),
          closeAfter(rangeHead(60000, 99999) + part(60000, 100000))},
         {"", "30000-", "60000-"},
         kResetNote + "recv: the partial reply ended at byte 60000, before the end\n\n", kSource, 10},
        {"Resume416ContradictingLengthRefused", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 60000)),
          closeAfter("HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */60000\r\n\r\n")},
         {"", "60000-"}, kResetNote + "Reply not stored: the file changed on the server\n\n" + kRefusedNote,
         part(0, 60000), 12},
        {"PipeRestartSkipsWhatItHolds", -1, -1,
         {resetAfter(wholeHead(100000, false) + part(0, 60000)), closeAfter(wholeHead(100000, false) + kSource)},
         {"", ""}, kResetNote, kSource, 10, pipeOutput},
        {"PipeRestartOfOtherFileEndsRun", -1, -1,
         {resetAfter(wholeHead(100000, false) + part(0, 60000)), closeAfter(wholeHead(120000, false) + kChangedFile)},
         {"", ""}, kResetNote, part(0, 60000), 4, pipeOutput,
         "Cannot start over: the output cannot be emptied, and the reply is not the same file\n"},
        {"FullDiskOnResumeEndsRun", -1, -1,
         {resetAfter("HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\n\r\n"), closeAfter(rangeHead(0, 99999) + kSource)},
         {"", "0-"}, kResetNote, "", 4, fullDeviceUnbuffered, "fwrite: No space left on device\n"},
        // A device has nothing to cut: the restart only rewinds it, and the
        // retry's first write is what fails.
        {"FullDiskOnRestartEndsRunAtWrite", -1, -1,
         {resetAfter("HTTP/1.0 200 OK\r\n\r\n"), closeAfter(wholeHead(60000, false) + part(0, 60000))},
         {"", ""}, kResetNote, "", 4, fullDeviceUnbuffered, "fwrite: No space left on device\n"},
        // The failure hides in the buffer until the attempt ends; it must
        // end the run before another request.
        {"BufferedDeviceFailureEndsRunBeforeRetry", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 5000)), closeAfter(rangeHead(5000, 99999) + part(5000, 100000))},
         {""}, "", "", 4, fullDeviceBuffered, "fflush: No space left on device\n"},
    };
}

// A pipe whose other end a thread reads to the end.
struct PipeReader {
    int readEnd = -1;
    std::string bytes;
    std::thread thread;
};

std::FILE* openPipeOutput(PipeReader& reader) {
    int ends[2];
    if (pipe(ends) != 0) return nullptr;
    reader.readEnd = ends[0];
    reader.thread = std::thread([&reader]() {
        char block[65536];
        ssize_t count;
        while ((count = read(reader.readEnd, block, sizeof block)) > 0) reader.bytes.append(block, static_cast<size_t>(count));
    });
    return fdopen(ends[1], "wb");
}

std::FILE* openOutput(OutputKind kind, PipeReader& reader) {
    if (kind == pipeOutput) return openPipeOutput(reader);
    if (kind == regularFile) return std::tmpfile();
    std::FILE* full = std::fopen("/dev/full", "wb");
    // The program's own buffer size, so a short body stays in the buffer.
    static char buffer[64 * 1024];
    if (full != nullptr && kind == fullDeviceUnbuffered) std::setvbuf(full, nullptr, _IONBF, 0);
    if (full != nullptr && kind == fullDeviceBuffered) std::setvbuf(full, buffer, _IOFBF, sizeof buffer);
    return full;
}

// Closes the output. Returns what it holds at the end.
std::string closeOutput(std::FILE* output, OutputKind kind, PipeReader& reader) {
    std::string bytes = kind == regularFile ? fileBytes(output) : "";
    std::fclose(output);
    if (kind != pipeOutput) return bytes;
    reader.thread.join();
    close(reader.readEnd);
    return reader.bytes;
}

std::string requestFor(const std::string& range, unsigned short port) {
    return "GET /f HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + (range.empty() ? "" : "Range: bytes=" + range + "\r\n") + "\r\n";
}

std::string withPort(std::string text, unsigned short port) {
    for (size_t at; (at = text.find("PORT")) != std::string::npos;) text.replace(at, 4, std::to_string(port));
    return text;
}

class RetryPolicy : public testing::TestWithParam<RetryCase> {};

TEST_P(RetryPolicy, MakesRequestsAndKeepsFile) {
    const RetryCase& c = GetParam();
    FakeServer server;
    int refusing = -1;
    if (c.scripts.empty()) {
        refusing = openRefusingPort(server.port);
        ASSERT_GE(refusing, 0);
    } else {
        ASSERT_EQ(0, startFakeServer(server, 0, c.scripts));
    }
    TransferRequest request;
    prepareRequest(request, server.port, "/f");
    request.rangeFirst = c.rangeFirst;
    request.rangeLast = c.rangeLast;
    std::fclose(request.output);
    PipeReader reader;
    request.output = openOutput(c.output, reader);
    ASSERT_NE(nullptr, request.output);
    TransferResult result;
    verbosity = 1;
    StderrCapture capture;
    beginStderrCapture(capture);
    int status = transferWithRetries(request, result);
    std::string notes = endStderrCapture(capture);
    std::vector<std::string> requests = stopFakeServer(server);
    if (refusing >= 0) close(refusing);
    std::vector<std::string> expected;
    for (const std::string& range : c.ranges) expected.push_back(requestFor(range, server.port));
    EXPECT_EQ(expected, requests);
    EXPECT_EQ(withPort(c.notes, server.port), notes);
    EXPECT_EQ(c.status, status);
    if (c.writeNote != nullptr) {
        EXPECT_EQ(stageWriteFile, result.stage);
        EXPECT_EQ(0u, std::string(textOf(result.errorText)).find(c.writeNote)) << textOf(result.errorText);
    }
    std::string file = closeOutput(request.output, c.output, reader);
    if (c.output == regularFile || c.output == pipeOutput) {
        EXPECT_EQ(c.file.size(), file.size());
        EXPECT_TRUE(c.file == file) << "file bytes differ";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RetryPolicy, testing::ValuesIn(retryCases()), CaseName());

}  // namespace
