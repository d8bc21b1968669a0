// The built program against the demo's file server, as the demo runs them:
// the first connection is cut part-way and the program resumes the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_server.h"
#include "tests/support/run_program.h"

namespace {

// Returns its exit status, or -1 when it had to be ended.
int stopServing(int& server) {
    int status = server > 0 ? stopInBackground(server, 5000) : -1;
    server = -1;
    return status;
}

struct ServedFile {
    ScratchDirectory scratch;
    std::string bytes = patternBytes(3 * 1024 * 1024 + 5, 13);
    int server = -1;
    ~ServedFile() { stopServing(server); }
};

// Starts the file server on port 80 with the given options. Returns 1 once it listens.
int startServing(ServedFile& served, const std::vector<std::string>& options) {
    if (served.scratch.path.empty() || !writeFileBytes(served.scratch.path + "sample.bin", served.bytes)) return 0;
    std::vector<std::string> command = {WEBHAUL_DEMO_SERVER, "--port", "80", "--idle-seconds", "10"};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(served.scratch.path + "sample.bin");
    served.server = startInBackground(command, served.scratch.path + "server.log");
    return served.server > 0 && waitForFileText(served.scratch.path + "server.log", "listening", 5000);
}

TEST(DemoServer, CutTransferResumedByteExact) {
    ServedFile served;
    ASSERT_TRUE(startServing(served, {"--cut-after", "1000000", "--connections", "2", "--block", "100000"}));
    std::string output = served.scratch.path + "received.bin";
    ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, "-v1", output, "127.0.0.1", "/sample.bin"});
    EXPECT_EQ(0, stopServing(served.server));
    EXPECT_EQ(10, outcome.exitStatus);
    EXPECT_EQ("recv: Connection reset\n\n", withWineResets(outcome.standardError, "recv: Connection reset\n\n"));
    std::string log;
    ASSERT_TRUE(readFileBytes(served.scratch.path + "server.log", log));
    EXPECT_NE(std::string::npos, log.find("sent 1000000 of 3145733 body bytes, then reset")) << log;
    EXPECT_NE(std::string::npos, log.find("from byte 1000000 -> 206, sent 2145733 of 2145733")) << log;
    std::string stored;
    ASSERT_TRUE(readFileBytes(output, stored));
    EXPECT_TRUE(served.bytes == stored) << "stored " << stored.size() << " bytes";
}

struct ServedRangeCase {
    const char* name;
    std::vector<std::string> options;
    int exitStatus;
    std::string stored;
};

class ServedRange : public testing::TestWithParam<ServedRangeCase> {};

// The server answers ranges and HEAD the way the program expects of one.
TEST_P(ServedRange, StoresWhatWasAsked) {
    const ServedRangeCase& range = GetParam();
    ServedFile served;
    ASSERT_TRUE(startServing(served, {"--connections", "1"}));
    std::string output = served.scratch.path + "received.bin";
    std::vector<std::string> command = {WEBHAUL_BINARY, "-v1"};
    command.insert(command.end(), range.options.begin(), range.options.end());
    command.insert(command.end(), {output, "127.0.0.1", "/sample.bin"});
    ProgramOutcome outcome = runProgram(command);
    EXPECT_EQ(0, stopServing(served.server));
    EXPECT_EQ(range.exitStatus, outcome.exitStatus) << outcome.standardError;
    std::string stored;
    ASSERT_TRUE(readFileBytes(output, stored));
    std::string expected = range.stored == "ALL" ? served.bytes : range.stored;
    EXPECT_TRUE(expected == stored) << "stored " << stored.size() << " bytes, expected " << expected.size();
}

const ServedRangeCase kServedRangeCases[] = {
    {"WholeFile", {}, 0, "ALL"},
    {"ClosedRange", {"-r100-355"}, 0, patternBytes(3 * 1024 * 1024 + 5, 13).substr(100, 256)},
    {"OpenRange", {"-r3145700--1"}, 0, patternBytes(3 * 1024 * 1024 + 5, 13).substr(3145700)},
    {"HeadersOnly", {"-h"}, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Served, ServedRange, testing::ValuesIn(kServedRangeCases),
                         nameOf<ServedRangeCase>);

}  // namespace
