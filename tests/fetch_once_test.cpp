// One whole attempt: the exact request bytes, the log of each level, a
// failing output file, and the socket released after every attempt.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "http/transfer.h"
#include "support/log.h"
#include "tests/support/fake_server.h"
#include "tests/support/in_process.h"
#include "tests/support/test_certificates.h"

namespace {

struct RequestCase {
    const char* name;
    int headersOnly;
    std::string path;
    std::int64_t rangeFirst;
    std::int64_t rangeLast;
    std::string expected;
    std::string host = "127.0.0.1";
    int port = 80;  // only named by the Host line: the connection goes to the test server
    const char* tlsLeaf = nullptr;  // https, the server serving this test leaf
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

const std::string kLongestPath = "/" + std::string(kBoundedStringCap - 1, 'p');
const std::string kLongestHost = std::string(kBoundedStringCap, 'h');

const RequestCase kRequestCases[] = {
    {"PlainGet", 0, "/", -1, -1, "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"HeadWithClosedRange", 1, "/a/b.zip", 100, 199,
     "HEAD /a/b.zip HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=100-199\r\n\r\n"},
    {"OpenEndedRange", 0, "/f", 500, -1, "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=500-\r\n\r\n"},
    {"RangeOfFirstByte", 0, "/f", 0, 0, "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=0-0\r\n\r\n"},
    {"RangeBeyond32Bits", 0, "/f", 3000000000LL, -1,
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=3000000000-\r\n\r\n"},
    {"ClosedRangeBeyond32Bits", 0, "/f", 3000000000LL, 5000000000LL,
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=3000000000-5000000000\r\n\r\n"},
    {"PathAtStringCapSentWhole", 0, kLongestPath, 7, 9,
     "GET " + kLongestPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=7-9\r\n\r\n"},
    {"HostNameAsGiven", 0, "/f", -1, -1, "GET /f HTTP/1.0\r\nHost: Files.Example.COM\r\n\r\n", "Files.Example.COM"},
    {"DottedAddressHost", 1, "/", -1, -1, "HEAD / HTTP/1.0\r\nHost: 10.1.2.3\r\n\r\n", "10.1.2.3"},
    {"PortOtherThan80Named", 0, "/f", 5, -1, "GET /f HTTP/1.0\r\nHost: localhost:8080\r\nRange: bytes=5-\r\n\r\n",
     "localhost", 8080},
    {"HostAndPathAtStringCapSentWhole", 0, kLongestPath, -9000000000000000000LL, -9000000000000000000LL,
     "GET " + kLongestPath + " HTTP/1.0\r\nHost: " + kLongestHost +
         ":65535\r\nRange: bytes=-9000000000000000000--9000000000000000000\r\n\r\n",
     kLongestHost, 65535},
    // The certificate is checked, and the name sent, without the final dot.
    {"FinalDotKeptForHostLineOnly", 0, "/f", -1, -1, "GET /f HTTP/1.0\r\nHost: localhost.\r\n\r\n", "localhost.", 443,
     kLeafLocalhost},
};

class RequestBytes : public testing::TestWithParam<RequestCase> {};

TEST_P(RequestBytes, AreExactlyAsComposed) {
    const RequestCase& c = GetParam();
    FakeServer server;
    if (c.tlsLeaf != nullptr) {
        server.tlsLeaf = c.tlsLeaf;
        setenv("SSL_CERT_FILE", testAuthorityBundle().c_str(), 1);
    }
    ASSERT_EQ(0, startFakeServer(server, 0, {{sendData("HTTP/1.0 200 OK\r\n\r\n"), closeInOrder()}}));
    TransferRequest request;
    prepareRequest(request, server.port, c.path.c_str());
    request.secure = c.tlsLeaf != nullptr;
    request.headersOnly = c.headersOnly;
    request.rangeFirst = c.rangeFirst;
    request.rangeLast = c.rangeLast;
    assignText(request.host, c.host.c_str());
    request.port = c.port;
    TransferResult result;
    verbosity = 0;
    EXPECT_EQ(1, fetchOnce(request, result));
    std::vector<std::string> requests = stopFakeServer(server);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(c.expected, requests[0]);
    std::fclose(request.output);
}

INSTANTIATE_TEST_SUITE_P(Cases, RequestBytes, testing::ValuesIn(kRequestCases), CaseName());

struct LogLine {
    int level;
    std::string text;
};

// Runs one attempt at each verbosity and compares the log with the lines
// of the expected trace whose level is at most that verbosity.
void expectLogByLevel(const std::string& reply, std::int64_t rangeFirst, std::vector<LogLine> (*trace)(int port, int sent)) {
    for (int level = 0; level <= 9; ++level) {
        FakeServer server;
        ASSERT_EQ(0, startFakeServer(server, 0, {{sendData(reply), closeInOrder()}}));
        TransferRequest request;
        prepareRequest(request, server.port, "/log");
        request.rangeFirst = rangeFirst;
        TransferResult result;
        verbosity = level;
        StderrCapture capture;
        beginStderrCapture(capture);
        fetchOnce(request, result);
        std::string log = endStderrCapture(capture);
        std::vector<std::string> requests = stopFakeServer(server);
        std::string expected;
        for (const LogLine& line : trace(server.port, static_cast<int>(requests.at(0).size()))) {
            if (line.level <= level) expected += line.text;
        }
        EXPECT_EQ(expected, log) << "verbosity " << level;
        std::fclose(request.output);
    }
}

std::vector<LogLine> rangedTrace(int port, int sent) {
    return {{9, "Connecting to server, address=127.0.0.1, port=" + std::to_string(port) + "...\n"},
            {9, "Sending request: GET /log HTTP/1.0\r\n"},
            {9, "                 Host: 127.0.0.1:" + std::to_string(port) + "\r\n"},
            {9, "                 Range: bytes=5-\r\n"},
            {9, std::to_string(sent) + " bytes sent\n"},
            {8, "Waiting for reply...\n"},
            {4, "** Status: HTTP/1.0 206 Partial Content\n"},
            {5, "** Header: Content-Length: 8\n"},
            {5, "** Header: Accept-Ranges: bytes\n"},
            {9, "Receiving body...\n"},
            {3, "\rReceived 3/8 (37.5%)..."},
            {3, "\n"}};
}

std::vector<LogLine> unknownLengthTrace(int port, int sent) {
    return {{9, "Connecting to server, address=127.0.0.1, port=" + std::to_string(port) + "...\n"},
            {9, "Sending request: GET /log HTTP/1.0\r\n"},
            {9, "                 Host: 127.0.0.1:" + std::to_string(port) + "\r\n"},
            {9, std::to_string(sent) + " bytes sent\n"},
            {8, "Waiting for reply...\n"},
            {4, "** Status: HTTP/1.0 200 OK\n"},
            {5, "** Header: Server-Note without colon\n"},
            {9, "Receiving body...\n"},
            {3, "\rReceived 5/-1 (0.0%)..."},
            {3, "\n"}};
}

TEST(AttemptLog, EachLevelShowsItsLines) {
    expectLogByLevel("HTTP/1.0 206 Partial Content\r\nContent-Length: 8\r\nAccept-Ranges: bytes\r\n\r\nabc", 5,
                     rangedTrace);
}

TEST(AttemptLog, UnknownLengthShowsMinusOneAndZeroPercent) {
    expectLogByLevel("HTTP/1.0 200 OK\nServer-Note without colon\n\nhello", -1, unknownLengthTrace);
}

TEST(AttemptFailure, FullDiskEndsAttemptWithWriteStage) {
    FakeServer server;
    ASSERT_EQ(0, startFakeServer(server, 0, {{sendData(httpReply("HTTP/1.0 200 OK", {}, patternBytes(5000))),
                                              closeInOrder()}}));
    TransferRequest request;
    prepareRequest(request, server.port, "/full");
    std::fclose(request.output);
    request.output = std::fopen("/dev/full", "wb");
    ASSERT_NE(nullptr, request.output);
    char buffer[16];
    std::setvbuf(request.output, buffer, _IOFBF, sizeof buffer);
    TransferResult result;
    verbosity = 0;
    EXPECT_EQ(0, fetchOnce(request, result));
    stopFakeServer(server);
    EXPECT_EQ(stageWriteFile, result.stage);
    EXPECT_STREQ("fwrite: No space left on device\n", textOf(result.errorText));
    std::fclose(request.output);
}

TEST(AttemptFailure, RefusedConnectionNotesAddressAndPort) {
    unsigned short port = 0;
    int refusing = openRefusingPort(port);
    ASSERT_GE(refusing, 0);
    TransferRequest request;
    prepareRequest(request, port, "/");
    TransferResult result;
    assignText(result.errorText, "older note");
    EXPECT_EQ(0, fetchOnce(request, result));
    close(refusing);
    EXPECT_EQ(stageConnect, result.stage);
    EXPECT_EQ("connect(127.0.0.1:" + std::to_string(port) + "): Connection refused", textOf(result.errorText));
    std::fclose(request.output);
}

// One connection of each ending: completed, cut, reset, refused file, refused connect.
std::vector<ConnectionScript> mixedEndings() {
    std::string whole = httpReply("HTTP/1.0 200 OK", {"Content-Length: 4"}, "body");
    return {{sendData(whole), closeInOrder()},
            {sendData(whole.substr(0, whole.size() - 2)), closeInOrder()},
            {sendData(whole.substr(0, 25)), resetConnection()},
            {sendData("HTTP/1.0 200 OK\r\n"), closeInOrder()}};
}

TEST(AttemptSockets, ClosedAfterEveryAttempt) {
    const int kRounds = 40;
    int before = openDescriptorCount();
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(nullptr, full);
    std::setvbuf(full, nullptr, _IONBF, 0);
    for (int round = 0; round < kRounds; ++round) {
        std::vector<ConnectionScript> scripts = mixedEndings();
        FakeServer server;
        ASSERT_EQ(0, startFakeServer(server, 0, scripts));
        TransferRequest request;
        prepareRequest(request, server.port, "/fd");
        TransferResult result;
        verbosity = 0;
        std::FILE* stored = request.output;
        for (size_t attempt = 0; attempt <= scripts.size(); ++attempt) {
            // The first reply's body fails to be written; the last attempt
            // finds the listener gone.
            request.output = attempt == 0 ? full : stored;
            fetchOnce(request, result);
        }
        std::fclose(stored);
        stopFakeServer(server);
    }
    std::fclose(full);
    EXPECT_EQ(before, openDescriptorCount());
}

}  // namespace
