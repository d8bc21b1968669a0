#include <gtest/gtest.h>

#include <string>

#include "tests/support/fake_server.h"
#include "tests/support/run_program.h"

namespace {

TEST(ProgramSmoke, FetchesFromPort80) {
    std::string body = patternBytes(256);
    FakeServer server;
    ASSERT_EQ(0, startFakeServer(server, 80, {{sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: 256"}, body)),
                                               closeInOrder()}}));
    std::string output = testing::TempDir() + "smoke.bin";
    ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, "-v5", output, "127.0.0.1", "/a"});
    stopFakeServer(server);
    EXPECT_EQ(0, outcome.exitStatus);
    EXPECT_EQ("", outcome.standardOutput);
    EXPECT_NE(std::string::npos, outcome.standardError.find("Body bytes received: 256\n")) << outcome.standardError;
}

}  // namespace
