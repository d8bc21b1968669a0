// The built program under valgrind's memcheck: a successful fetch, a fetch
// that is broken and resumed, and a refused connection must show no leak
// and no invalid read or write.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/fake_server.h"
#include "tests/support/run_program.h"

namespace {

const char kValgrind[] = "/usr/bin/valgrind";
// Distinct from every exit status of the program.
const int kMemcheckFailed = 97;
const size_t kBodySize = 300000;

std::string firstByteAsked(const std::string& request) {
    const std::string marker = "Range: bytes=";
    size_t at = request.find(marker);
    return at == std::string::npos ? "" : request.substr(at + marker.size(), request.find('-', at) - at - marker.size());
}

// Answers a range request with the rest of the body, anything else with
// the first part of it and a reset.
ConnectionScript breakThenResume(const std::string& request, const std::string& body) {
    std::string first = firstByteAsked(request);
    if (first.empty()) {
        std::string head = httpReply("HTTP/1.0 200 OK", {"Content-Length: " + std::to_string(body.size()), "Accept-Ranges: bytes"}, "");
        return {sendData(head + body.substr(0, body.size() / 3)), pauseFor(50), resetConnection()};
    }
    size_t from = std::strtoul(first.c_str(), nullptr, 10);
    std::string rest = body.substr(from);
    std::string range = "Content-Range: bytes " + first + "-" + std::to_string(body.size() - 1) + "/" + std::to_string(body.size());
    return {sendData(httpReply("HTTP/1.0 206 Partial Content", {"Content-Length: " + std::to_string(rest.size()), range}, rest)),
            closeInOrder()};
}

struct MemcheckCase {
    const char* name;
    int connections;  // 0: nothing listens, every connect is refused
    int resumes;      // 1: the first connection breaks, the second resumes
    int exitStatus;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const MemcheckCase& value, std::ostream* stream) { *stream << value.name; }

const MemcheckCase kMemcheckCases[] = {
    {"SuccessfulFetch", 1, 0, 0},
    {"ResumedFetch", 2, 1, 10},
    {"RefusedConnection", 0, 0, 12},
};

class UnderMemcheck : public testing::TestWithParam<MemcheckCase> {
protected:
    void SetUp() override {
        if (access(kValgrind, X_OK) != 0) GTEST_SKIP() << "valgrind is not installed: the memcheck runs are skipped";
        directory = makeScratchDirectory();
        ASSERT_FALSE(directory.empty());
    }
    void TearDown() override { removeScratchDirectory(directory); }
    std::string directory;
};

TEST_P(UnderMemcheck, NoLeakAndNoInvalidAccess) {
    const MemcheckCase& memcheck = GetParam();
    std::string body = patternBytes(kBodySize, 7);
    FakeServer server;
    if (memcheck.resumes) {
        ASSERT_EQ(0, startRespondingServer(server, 80, memcheck.connections,
                                           [&body](const std::string& request) { return breakThenResume(request, body); }));
    } else if (memcheck.connections > 0) {
        std::string reply = httpReply("HTTP/1.0 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
        ASSERT_EQ(0, startFakeServer(server, 80, {{sendData(reply), closeInOrder()}}));
    }
    std::string output = directory + "out.bin";
    ProgramOptions options;
    options.deadlineMillis = 120000;
    ProgramOutcome outcome = runProgram({kValgrind, "--error-exitcode=" + std::to_string(kMemcheckFailed), "--leak-check=full",
                                         "--errors-for-leak-kinds=definite,indirect", WEBHAUL_BINARY, "-w0", output, "127.0.0.1", "/file"},
                                        options);
    if (memcheck.connections > 0) stopFakeServer(server);
    EXPECT_EQ(memcheck.exitStatus, outcome.exitStatus) << outcome.standardError;
    EXPECT_NE(std::string::npos, outcome.standardError.find("ERROR SUMMARY: 0 errors")) << outcome.standardError;
    std::string stored;
    if (memcheck.connections > 0) {
        ASSERT_TRUE(readFileBytes(output, stored));
        EXPECT_TRUE(stored == body) << "stored " << stored.size() << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(Memcheck, UnderMemcheck, testing::ValuesIn(kMemcheckCases),
                         [](const testing::TestParamInfo<MemcheckCase>& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
