// The built program's command line: when it refuses the arguments with
// the usage text, and the exact request each accepted command line sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_server.h"
#include "tests/support/run_program.h"

namespace {

const char kUsageText[] =
    "Usage: Webhaul [<options>] <local-filename> <server-address> [<path-on-server>]\n"
    "Options:\n"
    "  -vn    n = level of verbosity: 0..9 -> 0=none, 9=full, default=2\n"
    "  -rn-m  Retreive from byte n to byte m inclusive\n"
    "  -h     Request headers only\n"
    "  -c     Continue a partial local file\n"
    "  -f     Fail on an error status (400 or more)\n"
    "  -tn    n = seconds without data before an attempt fails, 0=never, default=60\n"
    "  -wn    n = seconds to wait before the first poor retry, doubling, default=1\n"
    "  -k     Accept any server certificate (https)\n"
    "  -sn    n = connections for one file, each fetching a part: 1..16, default=1\n"
    "  -dx    x = SHA-256 of the file, 64 hex digits: checked when it is complete\n"
    "\n"
    "E.G. To retreive //www.example.com/vellum/foo.zip you would say:\n"
    "C:\\> webhaul foo.zip www.example.com /vellum/foo.zip\n";
const char kOrderLine[] = "The local file name comes first: webhaul <file> <URL>\n";
const char kHelpEnd[] = "See webhaul(1) or the README for the rules of broken transfers.\n";

// What --help and --version ask for; a case without either is refused.
enum InfoAnswer { answerNone, answerHelp, answerVersion };

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;  // "OUT" stands for a file in the scratch directory
    InfoAnswer answer = answerNone;      // with one: on standard output, status 0
    const char* line = nullptr;          // the one line refusing it, in place of the usage text
    const char* usageThen = "";          // the line after the usage text
};

// Returns what standard output must hold: for --help the usage text, then a
// section up to the pointer to the manual (checked by the docs tests); the
// version lines; or nothing.
std::string expectedOutput(InfoAnswer answer, const std::string& output) {
    if (answer == answerHelp) {
        std::string usage = runProgram({WEBHAUL_BINARY}).standardError;
        return usage + output.substr(usage.size(), output.find(kHelpEnd) - usage.size()) + kHelpEnd;
    }
    return answer == answerVersion ? "webhaul " WEBHAUL_VERSION "\nMIT License\n" : "";
}

class RefusedCommandLine : public testing::TestWithParam<UsageCase> {};

// A refused command line prints what its row says and nothing else, never
// connects and never creates a file; --help and --version print their text
// on standard output instead, and likewise do nothing else.
TEST_P(RefusedCommandLine, PrintsUsageOnly) {
    const UsageCase& usage = GetParam();
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    ProgramOptions options;
    options.workingDirectory = scratch.path;
    std::vector<ConnectionScript> scripts = {{sendData(httpReply("HTTP/1.0 200 OK", {}, "x")), closeInOrder()}};
    Exchange exchange = runAgainstServer(scripts, programWith(usage.arguments, scratch.path + "out.bin"), options);
    ASSERT_TRUE(exchange.ready);
    int refused = usage.answer == answerNone;
    EXPECT_EQ(refused, exchange.outcome.exitStatus);
    std::string refusal = usage.line != nullptr ? usage.line : kUsageText + std::string(usage.usageThen);
    EXPECT_EQ(refused ? refusal : "", exchange.outcome.standardError);
    EXPECT_EQ(expectedOutput(usage.answer, exchange.outcome.standardOutput), exchange.outcome.standardOutput);
    EXPECT_TRUE(exchange.requests.empty());
    EXPECT_TRUE(directoryEntries(scratch.path).empty());
}

const UsageCase kUsageCases[] = {
    {"NoArguments", {}},
    {"OnePositional", {"OUT"}},
    {"FourPositionals", {"OUT", "127.0.0.1", "/a", "extra"}},
    {"FivePositionalsAroundOptions", {"OUT", "-v9", "127.0.0.1", "/a", "-h", "b", "c"}},
    {"SilentStillShowsUsage", {"-v0", "OUT"}},
    {"OptionsAreNotPositionals", {"-h", "-r1-2", "-x", "-", "-v5", "-t5", "-W0", "OUT"}},
    {"FileNameWithDashIsAnOption", {"-out.bin", "127.0.0.1"}},
    {"LoneDashIsNoPositional", {"-", "127.0.0.1"}},
    {"UrlPathAndThirdPositional", {"OUT", "http://127.0.0.1/a", "/b"}},
    {"UrlRootPathAndThirdPositional", {"-v9", "OUT", "http://127.0.0.1:8080/", "/b"}},
    {"OtherLongOptionsIgnored", {"--Help", "--version=1", "-help", "OUT"}},
    {"UrlBeforeFile", {"-v9", "Http://127.0.0.1/f", "f.bin"}, answerNone, nullptr, kOrderLine},
    {"UrlAlone", {"https://127.0.0.1/f"}, answerNone, nullptr, kOrderLine},
    {"Help", {"--help"}, answerHelp},
    {"VersionFirstAmongArguments", {"OUT", "--version", "127.0.0.1", "--help"}, answerVersion},
    {"HelpFirstAtSilence", {"-v0", "--help", "--version", "OUT", "127.0.0.1"}, answerHelp},
    {"RangeLastBeforeFirst", {"-r10-5", "OUT", "127.0.0.1"}, answerNone,
     "Bad range: \"10-5\" (a range is F-L or F--1, with 0 <= F <= L <= 1152921504606846976)\n"},
    {"RangeFirstNegative", {"OUT", "-r-5-10", "127.0.0.1", "-r1-2"}, answerNone,
     "Bad range: \"-5-10\" (a range is F-L or F--1, with 0 <= F <= L <= 1152921504606846976)\n"},
    {"RangeBeyondByteCounts", {"-R99999999999999999999-5", "OUT", "127.0.0.1"}, answerNone,
     "Bad range: \"99999999999999999999-5\" (a range is F-L or F--1, with 0 <= F <= L <= 1152921504606846976)\n"},
};

INSTANTIATE_TEST_SUITE_P(Usage, RefusedCommandLine, testing::ValuesIn(kUsageCases),
                         nameOf<UsageCase>);

struct RequestCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* request;  // exactly what the server must receive
    unsigned short serverPort = 80;
};

class AcceptedCommandLine : public testing::TestWithParam<RequestCase> {};

// The request is exactly the method line, the Host line, an optional range
// line and the empty line; the reply's body lands in the file.
TEST_P(AcceptedCommandLine, SendsExactRequest) {
    const RequestCase& accepted = GetParam();
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    std::vector<ConnectionScript> scripts = {
        {sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: 5"}, "hello")), closeInOrder()}};
    ProgramOptions options;
    options.serverPort = accepted.serverPort;
    Exchange exchange = runAgainstServer(scripts, programWith(accepted.arguments, scratch.path + "out.bin"), options);
    ASSERT_TRUE(exchange.ready);
    EXPECT_EQ(0, exchange.outcome.exitStatus) << exchange.outcome.standardError;
    EXPECT_EQ("", exchange.outcome.standardOutput);
    ASSERT_EQ(1u, exchange.requests.size());
    EXPECT_EQ(accepted.request, exchange.requests[0]);
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    // A reply to HEAD has no body: what a server sends after its headers is not kept.
    EXPECT_EQ(std::string(accepted.request).rfind("HEAD", 0) == 0 ? "" : "hello", stored);
}

const RequestCase kRequestCases[] = {
    {"DefaultPathIsRoot", {"OUT", "127.0.0.1"}, "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"PathSpacesEscaped", {"OUT", "127.0.0.1", "/a b c"}, "GET /a%20b%20c HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"PathSentUnchanged", {"OUT", "127.0.0.1", "/dir/a%20b?x=1&y=~"},
     "GET /dir/a%20b?x=1&y=~ HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"HeadWithRange", {"-h", "-r100-199", "OUT", "127.0.0.1", "/f"},
     "HEAD /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=100-199\r\n\r\n"},
    {"OpenEndedRange", {"-r500--1", "OUT", "127.0.0.1", "/f"},
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=500-\r\n\r\n"},
    {"OneNumberLeavesNoRange", {"-r100", "OUT", "127.0.0.1", "/f"}, "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"LaterBadRangeClearsRange", {"-r100-199", "OUT", "127.0.0.1", "/f", "-rX"},
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"LaterRangeWins", {"-r1-2", "OUT", "-r3-4", "127.0.0.1", "/f"},
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=3-4\r\n\r\n"},
    {"EmptyPathIsRoot", {"OUT", "127.0.0.1", ""}, "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"RangeAtLargestByteCount", {"-r0-1152921504606846976", "OUT", "127.0.0.1", "/f"},
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=0-1152921504606846976\r\n\r\n"},
    {"RangeBeyondFourGiB", {"-r5000000000-6000000000", "OUT", "127.0.0.1", "/f"},
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=5000000000-6000000000\r\n\r\n"},
    {"UpperCaseOptions", {"-H", "-R0-0", "-V0", "OUT", "127.0.0.1", "/f"},
     "HEAD /f HTTP/1.0\r\nHost: 127.0.0.1\r\nRange: bytes=0-0\r\n\r\n"},
    {"OtherLettersAndLoneDashIgnored", {"-x", "OUT", "-", "127.0.0.1", "-q", "/f"},
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"OptionsAfterPositionals", {"OUT", "127.0.0.1", "/f", "-h"}, "HEAD /f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"HeadersOnlyStays", {"-h", "-h", "OUT", "127.0.0.1", "/f"}, "HEAD /f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"HostLineNamesTheName", {"OUT", "localhost", "/f"}, "GET /f HTTP/1.0\r\nHost: localhost\r\n\r\n"},
    {"PortAfterDottedAddress", {"OUT", "127.0.0.1:8080", "/f"}, "GET /f HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n",
     8080},
    {"PortAfterName", {"-r7-8", "OUT", "localhost:8081"},
     "GET / HTTP/1.0\r\nHost: localhost:8081\r\nRange: bytes=7-8\r\n\r\n", 8081},
    {"PortEightyNotNamed", {"OUT", "127.0.0.1:80", "/f"}, "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"UrlPathQueryKeptFragmentDropped", {"OUT", "http://127.0.0.1/dir/a%20b?x=1#part"},
     "GET /dir/a%20b?x=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"UrlWithoutPathIsRoot", {"-h", "OUT", "http://localhost"}, "HEAD / HTTP/1.0\r\nHost: localhost\r\n\r\n"},
    {"UrlWithoutPathTakesThirdPositional", {"OUT", "HTTP://localhost:8080", "/f"},
     "GET /f HTTP/1.0\r\nHost: localhost:8080\r\n\r\n", 8080},
    {"UrlEmptyPortIsDefault", {"OUT", "http://127.0.0.1:/f"}, "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
    {"UrlPortAndPath", {"OUT", "http://127.0.0.1:8080/big.bin"},
     "GET /big.bin HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n", 8080},
    {"LimitsWithoutNumbersIgnored", {"-T", "-tx", "-w", "-W-1", "OUT", "127.0.0.1", "/f"},
     "GET /f HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Request, AcceptedCommandLine, testing::ValuesIn(kRequestCases),
                         nameOf<RequestCase>);

// A long path goes out whole, never cut at some buffer size.
TEST(AcceptedCommandLine, LongPathSentWhole) {
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    std::string path = "/" + std::string(20000, 'p');
    std::vector<ConnectionScript> scripts = {{sendData(httpReply("HTTP/1.0 200 OK", {}, "ok")), closeInOrder()}};
    Exchange exchange = runAgainstServer(scripts, programWith({"OUT", "127.0.0.1", path}, scratch.path + "out.bin"));
    ASSERT_TRUE(exchange.ready);
    EXPECT_EQ(0, exchange.outcome.exitStatus);
    ASSERT_EQ(1u, exchange.requests.size());
    EXPECT_EQ("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", exchange.requests[0]);
}

}  // namespace
