// The retry policy against scripted servers: which requests it makes, the
// notes it prints, what the file holds at the end, and the exit status.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "http/transfer.h"
#include "support/log.h"
#include "tests/support/fake_server.h"
#include "tests/support/in_process.h"

namespace {

const std::string kSource = patternBytes(100000, 11);
const std::string kChanged = patternBytes(20000, 200);
const std::string kResetNote = "recv: Connection reset\n\n";

std::string part(std::int64_t first, std::int64_t end) {
    return kSource.substr(static_cast<size_t>(first), static_cast<size_t>(end - first));
}

std::string wholeHead(size_t length, bool ranges) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n" +
           (ranges ? "Accept-Ranges: bytes\r\n" : "") + "\r\n";
}

// A 206 head for bytes first..last of kSource, with or without Accept-Ranges.
std::string rangeHead(std::int64_t first, std::int64_t last, bool ranges = false) {
    return "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
           std::to_string(last) + "/" + std::to_string(kSource.size()) + "\r\nContent-Length: " +
           std::to_string(last - first + 1) + "\r\n" + (ranges ? "Accept-Ranges: bytes\r\n" : "") + "\r\n";
}

ConnectionScript resetAfter(const std::string& bytes) { return {sendData(bytes), resetConnection()}; }
ConnectionScript closeAfter(const std::string& bytes) { return {sendData(bytes), closeInOrder()}; }

struct RetryCase {
    const char* name;
    std::int64_t rangeFirst;
    std::int64_t rangeLast;
    std::vector<ConnectionScript> scripts;  // none: every connect is refused
    std::vector<std::string> ranges;        // the Range value of each request, "" for none
    std::string notes;                      // PORT stands for the server's port
    std::string file;
    int status;
    // Set when the output refuses every byte: how the last note begins.
    const char* writeNote = nullptr;
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

std::vector<RetryCase> retryCases() {
    return {
        {"ResumeWith206Continuation", -1, -1,
         {resetAfter(wholeHead(60000, true) + part(0, 30000)), closeAfter(rangeHead(30000, 59999) + part(30000, 60000))},
         {"", "30000-"}, kResetNote, part(0, 60000), 10},
        {"RestartWithoutRangesLeavesNoOldTail", -1, -1,
         {resetAfter(wholeHead(60000, false) + part(0, 40000)), closeAfter(wholeHead(20000, false) + kChanged)},
         {"", ""}, kResetNote, kChanged, 10},
        {"RestartKeepsCommandLineRange", 1000, 50999,
         {resetAfter(rangeHead(1000, 50999) + part(1000, 31000)), closeAfter(rangeHead(1000, 50999) + part(1000, 51000))},
         {"1000-50999", "1000-50999"}, kResetNote, part(1000, 51000), 10},
        {"ResumeDecidedByFirstReplyOnly", -1, -1,
         {resetAfter(wholeHead(60000, false) + part(0, 30000)), resetAfter(wholeHead(60000, true) + part(0, 30000)),
          closeAfter(wholeHead(60000, true) + part(0, 60000))},
         {"", "", ""}, kResetNote + kResetNote, part(0, 60000), 10},
        {"RefusedEveryTime", -1, -1, {}, {},
         "connect(127.0.0.1:PORT): Connection refused\nconnect(127.0.0.1:PORT): Connection refused\n"
         "connect(127.0.0.1:PORT): Connection refused\n",
         "", 12},
        {"CounterGoesOneOneTwoThree", -1, -1,
         {resetAfter(wholeHead(100000, true) + part(0, 5000)), resetAfter(rangeHead(5000, 99999) + part(5000, 6000)),
          resetAfter(rangeHead(6000, 99999) + part(6000, 36000)), resetAfter(rangeHead(36000, 99999) + part(36000, 37000)),
          resetAfter(rangeHead(37000, 99999) + part(37000, 38000))},
         {"", "5000-", "6000-", "36000-", "37000-"}, kResetNote + kResetNote + kResetNote + kResetNote, part(0, 38000),
         14},
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
        {"ResumeAnswered416KeepsOnlyItsPage", -1, -1,
         {resetAfter(wholeHead(60000, true) + part(0, 30000)),
          closeAfter("HTTP/1.0 416 Range Not Satisfiable\r\nContent-Length: 9\r\n\r\nbad range")},
         {"", "30000-"}, kResetNote, "bad range", 10},
        {"WholeFileAfterResumeIsResumedFromItsOwnBody", -1, -1,
         {resetAfter(wholeHead(60000, true) + part(0, 30000)), resetAfter(wholeHead(60000, true) + part(0, 10000)),
          closeAfter(rangeHead(10000, 59999) + part(10000, 60000))},
         {"", "30000-", "10000-"}, kResetNote + kResetNote, part(0, 60000), 10},
        {"ErrorPageIsNeverResumed", -1, -1,
         {resetAfter(wholeHead(60000, true) + part(0, 30000)),
          resetAfter("HTTP/1.0 500 Server Error\r\nContent-Length: 100\r\n\r\noops"),
          closeAfter(wholeHead(60000, true) + part(0, 60000))},
         {"", "30000-", ""}, kResetNote + kResetNote, part(0, 60000), 10},
        {"FullDiskOnResumeEndsRun", -1, -1,
         {resetAfter("HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\n\r\n"), closeAfter(rangeHead(0, 99999) + kSource)},
         {"", "0-"}, kResetNote, "", 4, "fwrite: No space left on device\n"},
        // A device has nothing to cut: the restart only rewinds it, and the
        // retry's first write is what fails.
        {"FullDiskOnRestartEndsRunAtWrite", -1, -1,
         {resetAfter("HTTP/1.0 200 OK\r\n\r\n"), closeAfter(wholeHead(60000, false) + part(0, 60000))},
         {"", ""}, kResetNote, "", 4, "fwrite: No space left on device\n"},
    };
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
    if (c.writeNote != nullptr) {
        std::fclose(request.output);
        request.output = std::fopen("/dev/full", "wb");
        ASSERT_NE(nullptr, request.output);
        std::setvbuf(request.output, nullptr, _IONBF, 0);
    }
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
    } else {
        std::string file = fileBytes(request.output);
        EXPECT_EQ(c.file.size(), file.size());
        EXPECT_TRUE(c.file == file) << "file bytes differ";
    }
    std::fclose(request.output);
}

INSTANTIATE_TEST_SUITE_P(Cases, RetryPolicy, testing::ValuesIn(retryCases()), CaseName());

}  // namespace
