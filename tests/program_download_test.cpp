// Completed downloads with the built program: the exact console text at
// each verbosity, the stored bytes, and replies of unusual shapes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_server.h"
#include "tests/support/run_program.h"
#include "tests/support/test_certificates.h"

namespace {

// Every byte value once, so any text-mode translation or cut at a zero
// byte shows in the file.
std::string allByteValues() { return patternBytes(256); }

std::string oneReadReply() {
    return httpReply("HTTP/1.0 200 OK", {"Content-Length: 256", "Accept-Ranges: bytes"}, allByteValues());
}

struct ConsoleCase {
    const char* name;
    std::vector<std::string> options;
    const char* standardError;
};

class OneReadReply : public testing::TestWithParam<ConsoleCase> {};

// The whole reply arrives in one read, so the console text is fixed.
TEST_P(OneReadReply, PrintsExactConsoleText) {
    const ConsoleCase& console = GetParam();
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    std::vector<std::string> arguments = console.options;
    arguments.insert(arguments.end(), {"OUT", "127.0.0.1", "/all-bytes"});
    std::vector<ConnectionScript> scripts = {{sendData(oneReadReply()), closeInOrder()}};
    Exchange exchange = runAgainstServer(scripts, programWith(arguments, scratch.path + "out.bin"));
    ASSERT_TRUE(exchange.ready);
    EXPECT_EQ(0, exchange.outcome.exitStatus);
    EXPECT_EQ(console.standardError, exchange.outcome.standardError);
    EXPECT_EQ("", exchange.outcome.standardOutput);
    ASSERT_EQ(1u, exchange.requests.size());
    EXPECT_EQ("GET /all-bytes HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", exchange.requests[0]);
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    EXPECT_EQ(allByteValues(), stored);
}

const char kTraceText[] =
    "Connecting to server, address=127.0.0.1, port=80...\n"
    "Sending request: GET /all-bytes HTTP/1.0\r\n"
    "                 Host: 127.0.0.1\r\n"
    "44 bytes sent\n"
    "Waiting for reply...\n"
    "** Status: HTTP/1.0 200 OK\n"
    "** Header: Content-Length: 256\n"
    "** Header: Accept-Ranges: bytes\n"
    "Receiving body...\n"
    "\rReceived 256/256 (100.0%)...\n"
    "Reply status: 200\n"
    "Ranges accepted: resolution=1\n"
    "Content length: 256\n"
    "Header bytes received: 62\n"
    "Body bytes received: 256\n"
    "Cleaning up...\n";

const char kHeadersAndSummaryText[] =
    "** Status: HTTP/1.0 200 OK\n"
    "** Header: Content-Length: 256\n"
    "** Header: Accept-Ranges: bytes\n"
    "\rReceived 256/256 (100.0%)...\n"
    "Reply status: 200\n"
    "Ranges accepted: resolution=1\n"
    "Content length: 256\n"
    "Header bytes received: 62\n"
    "Body bytes received: 256\n";

const ConsoleCase kConsoleCases[] = {
    {"Silent", {"-v0"}, ""},
    {"Default", {}, "\rReceived 256/256 (100.0%)...\n"},
    {"FailuresOnly", {"-v1"}, ""},
    {"StatusLine", {"-v4"}, "** Status: HTTP/1.0 200 OK\n\rReceived 256/256 (100.0%)...\n"},
    {"HeadersAndSummary", {"-v5"}, kHeadersAndSummaryText},
    {"WaitingNote", {"-v8"},
     "Waiting for reply...\n"
     "** Status: HTTP/1.0 200 OK\n"
     "** Header: Content-Length: 256\n"
     "** Header: Accept-Ranges: bytes\n"
     "\rReceived 256/256 (100.0%)...\n"
     "Reply status: 200\n"
     "Ranges accepted: resolution=1\n"
     "Content length: 256\n"
     "Header bytes received: 62\n"
     "Body bytes received: 256\n"},
    {"FullTrace", {"-v9"}, kTraceText},
    {"UpperCaseVerbosity", {"-V5"}, kHeadersAndSummaryText},
    {"OnlyFirstDigitCounts", {"-v12"}, ""},
    {"NonDigitKeepsDefault", {"-vx"}, "\rReceived 256/256 (100.0%)...\n"},
    {"BareOptionKeepsDefault", {"-v"}, "\rReceived 256/256 (100.0%)...\n"},
    {"LaterVerbosityWins", {"-v9", "-v0"}, ""},
};

INSTANTIATE_TEST_SUITE_P(Verbosity, OneReadReply, testing::ValuesIn(kConsoleCases),
                         nameOf<ConsoleCase>);

struct ReplyCase {
    const char* name;
    std::vector<std::string> options;
    ConnectionScript script;
    const char* standardError;  // at the options' verbosity
    std::string stored;         // the file afterwards
};

class CompletedReply : public testing::TestWithParam<ReplyCase> {};

// However the reply looks, a server that closes in order after it
// completes the run with status 0 and the body in the file.
TEST_P(CompletedReply, StoresBodyAndExitsZero) {
    const ReplyCase& reply = GetParam();
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    std::vector<std::string> arguments = reply.options;
    arguments.insert(arguments.end(), {"OUT", "127.0.0.1", "/r"});
    Exchange exchange = runAgainstServer({reply.script}, programWith(arguments, scratch.path + "out.bin"));
    ASSERT_TRUE(exchange.ready);
    EXPECT_EQ(0, exchange.outcome.exitStatus);
    EXPECT_EQ(reply.standardError, exchange.outcome.standardError);
    EXPECT_EQ("", exchange.outcome.standardOutput);
    EXPECT_EQ(1u, exchange.requests.size());
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    EXPECT_EQ(reply.stored, stored);
}

const char kErrorPage[] = "<html>not here</html>\n";

const ReplyCase kReplyCases[] = {
    {"ErrorPageStored",
     {"-v5"},
     {sendData(httpReply("HTTP/1.0 404 Not Found", {"Content-Length: 22"}, kErrorPage)), closeInOrder()},
     "** Status: HTTP/1.0 404 Not Found\n"
     "** Header: Content-Length: 22\n"
     "\rReceived 22/22 (100.0%)...\n"
     "Reply status: 404\n"
     "Content length: 22\n"
     "Header bytes received: 46\n"
     "Body bytes received: 22\n",
     kErrorPage},
    {"NoContentLength",
     {"-v5"},
     {sendData("HTTP/1.0 200 OK\r\n\r\nabc"), closeInOrder()},
     "** Status: HTTP/1.0 200 OK\n"
     "\rReceived 3/-1 (0.0%)...\n"
     "Reply status: 200\n"
     "Content length: Unknown\n"
     "Header bytes received: 19\n"
     "Body bytes received: 3\n",
     "abc"},
    {"LinesEndInLineFeedAlone",
     {"-v5"},
     {sendData("HTTP/1.0 200 OK\nContent-Length: 3\nAccept-Ranges: 4096\n\nabc"), closeInOrder()},
     "** Status: HTTP/1.0 200 OK\n"
     "** Header: Content-Length: 3\n"
     "** Header: Accept-Ranges: 4096\n"
     "\rReceived 3/3 (100.0%)...\n"
     "Reply status: 200\n"
     "Ranges accepted: resolution=4096\n"
     "Content length: 3\n"
     "Header bytes received: 55\n"
     "Body bytes received: 3\n",
     "abc"},
    {"StatusWithoutReasonPhrase",
     {"-v5"},
     {sendData("HTTP/1.0 200\r\n\r\nabc"), closeInOrder()},
     "** Status: HTTP/1.0 200\n"
     "\rReceived 3/-1 (0.0%)...\n"
     "Reply status: 200\n"
     "Content length: Unknown\n"
     "Header bytes received: 16\n"
     "Body bytes received: 3\n",
     "abc"},
    {"HeadReplyWithoutBody",
     {"-v5", "-h"},
     {sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: 1000"}, "")), closeInOrder()},
     "** Status: HTTP/1.0 200 OK\n"
     "** Header: Content-Length: 1000\n"
     "\n"
     "Reply status: 200\n"
     "Content length: 1000\n"
     "Header bytes received: 41\n"
     "Body bytes received: 0\n",
     ""},
    {"HeaderSplitIntoSingleBytes",
     {},
     {sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: 4"}, ""), 1, 1), sendData("body"), closeInOrder()},
     "\rReceived 4/4 (100.0%)...\n",
     "body"},
    {"ZeroBytesInBody",
     {},
     {sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: 5"}, std::string("a\0b\0c", 5))), closeInOrder()},
     "\rReceived 5/5 (100.0%)...\n",
     std::string("a\0b\0c", 5)},
};

INSTANTIATE_TEST_SUITE_P(Shapes, CompletedReply, testing::ValuesIn(kReplyCases),
                         nameOf<ReplyCase>);

// A body of many receive blocks is stored byte for byte, whatever the
// chunks the server sends it in, over plain HTTP and over TLS.
TEST(CompletedDownload, LargeBodyByteExact) {
    std::string body = patternBytes(3 * 1024 * 1024 + 17, 7);
    std::string reply = httpReply("HTTP/1.0 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
    for (std::string leaf : {"", kLeafLocalhost}) {
        SCOPED_TRACE(leaf.empty() ? "http" : "https");
        ScratchDirectory scratch;
        ASSERT_NE("", scratch.path);
        ProgramOptions options;
        options.tlsLeaf = leaf;
        options.serverPort = leaf.empty() ? 80 : 443;
        std::string server = leaf.empty() ? "127.0.0.1" : "https://127.0.0.1";
        Exchange exchange = runAgainstServer({{sendData(reply, 50000), closeInOrder()}},
                                             programWith({"-v1", "OUT", server, "/big"}, scratch.path + "out.bin"),
                                             options);
        ASSERT_TRUE(exchange.ready);
        EXPECT_EQ(0, exchange.outcome.exitStatus);
        EXPECT_EQ("", exchange.outcome.standardError);
        std::string stored;
        ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
        EXPECT_TRUE(stored == body) << "stored " << stored.size() << " of " << body.size() << " bytes";
    }
}

// The file is replaced, not written over: an older, longer file leaves no tail.
TEST(CompletedDownload, ExistingFileEmptiedFirst) {
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    ASSERT_TRUE(writeFileBytes(scratch.path + "out.bin", std::string(5000, 'o')));
    Exchange exchange =
        runAgainstServer({{sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: 3"}, "new")), closeInOrder()}},
                         programWith({"OUT", "127.0.0.1"}, scratch.path + "out.bin"));
    ASSERT_TRUE(exchange.ready);
    EXPECT_EQ(0, exchange.outcome.exitStatus);
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    EXPECT_EQ("new", stored);
}

}  // namespace
