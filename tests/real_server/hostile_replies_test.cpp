// The built program against servers that send what no honest server
// would: huge lines, endless header sections, a trickle of single bytes.
// Each run must end with a clear exit status, store the right bytes and
// keep its memory small, whatever the server sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/run_program.h"

namespace {

// Peak resident size a run may reach. The program's own needs (code,
// libraries, its buffers) stay well below; a reply kept in memory would
// pass it by far, since the floods below are 32 MiB per connection.
const long kPeakRssLimitKiB = 6 * 1024;
const std::int64_t kFloodBytes = 32 * 1024 * 1024;

// What the server sends on each connection: prefix, then filler (unit
// repeated to fillerBytes), then suffix, then an orderly close. With
// millisPerByte set, every byte goes alone after that pause.
struct HostileCase {
    const char* name;
    std::string prefix;
    std::string unit;
    std::int64_t fillerBytes;
    std::string suffix;
    int connections;
    int millisPerByte;
    int exitStatus;
    std::string storedBytes;
    std::string logged;  // text the log must contain
    std::string absent;  // text the log must not contain ("": no check)
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const HostileCase& value, std::ostream* stream) { *stream << value.name; }

struct HostileServer {
    int listener = -1;
    const HostileCase* script = nullptr;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

int sendSlowly(int connection, const std::string& bytes, int millisPerByte) {
    if (millisPerByte == 0) return sendAllBytes(connection, bytes.data(), bytes.size());
    for (char byte : bytes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(millisPerByte));
        if (!sendAllBytes(connection, &byte, 1)) return 0;
    }
    return 1;
}

// Sends the filler from one small block, so the server holds no flood.
int sendFiller(int connection, const HostileCase& script) {
    if (script.fillerBytes == 0) return 1;
    std::string block;
    while (block.size() < 65536) block += script.unit;
    for (std::int64_t left = script.fillerBytes; left > 0;) {
        size_t count = static_cast<size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(block.size())));
        if (!sendAllBytes(connection, block.data(), count)) return 0;
        left -= static_cast<std::int64_t>(count);
    }
    return 1;
}

void serveHostile(HostileServer& server) {
    for (int served = 0; served < server.script->connections; ++served) {
        int connection = acceptUntilStopped(server.listener, server.stopping);
        if (connection < 0) break;
        readRequestHead(connection);
        const HostileCase& script = *server.script;
        if (sendSlowly(connection, script.prefix, script.millisPerByte) && sendFiller(connection, script)) {
            sendSlowly(connection, script.suffix, script.millisPerByte);
        }
        close(connection);
    }
    close(server.listener);
    server.listener = -1;
}

// The largest peak resident size of any program this test process ran.
long largestChildPeakRssKiB() {
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

const char kNoStatus[] = "recv: Malformed reply: the status line has no three-digit status\n";
const char kPastLimit[] = "recv: Malformed reply: the header section passes 65536 bytes\n";

std::string headerLineOf(size_t length) { return "X-Long: " + std::string(length - 8, 'a'); }

std::vector<HostileCase> hostileCases() {
    const std::string filler = "X-Filler: 0123456789\r\n";
    const std::string tail = "Content-Length: 5\r\n\r\nhello";
    const std::string trickleBody = "slow but complete";
    return {
        // Within the header section's limit a line is read whole.
        {"HeaderLineOf60000Bytes", "HTTP/1.0 200 OK\r\nX-Long: ", "a", 60000 - 8, "\r\n" + tail, 1, 0, 0, "hello",
         "** Header: " + headerLineOf(60000) + "\n", ""},
        {"ThousandsOfHeaderLines", "HTTP/1.0 200 OK\r\n", filler, 2900 * static_cast<std::int64_t>(filler.size()), tail, 1,
         0, 0, "hello", "Header bytes received: " + std::to_string(17 + 2900 * filler.size() + tail.size() - 5) + "\n", ""},
        // No protocol word is that long: the line has no status to read.
        {"StatusWordOf10000Bytes", "HTTP/1.0", "x", 10000, " 200 OK\r\n" + tail, 4, 0, 14, "", kNoStatus, "Reply status:"},
        // Each attempt ends at the limit without a body; three poor retries.
        {"HeaderSectionThatNeverEnds", "HTTP/1.0 200 OK\r\n", filler, kFloodBytes, "", 4, 0, 14, "", kPastLimit, ""},
        {"HeaderLineThatNeverEnds", "HTTP/1.0 200 OK\r\nX-Endless: ", "b", kFloodBytes, "", 4, 0, 14, "", kPastLimit, ""},
        {"InterimRepliesThatNeverEnd", "", "HTTP/1.1 100 Continue\r\n\r\n", kFloodBytes, "", 4, 0, 14, "", kPastLimit, ""},
        {"OneByteEveryFewMillis", "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(trickleBody.size()) + "\r\n\r\n", "", 0,
         trickleBody, 1, 3, 0, trickleBody, "Body bytes received: 17\n", ""},
    };
}

class HostileReply : public testing::TestWithParam<HostileCase> {
protected:
    void SetUp() override {
        directory = makeScratchDirectory();
        ASSERT_FALSE(directory.empty());
    }
    void TearDown() override { removeScratchDirectory(directory); }
    std::string directory;
};

TEST_P(HostileReply, EndsClearlyWithSmallMemory) {
    const HostileCase& script = GetParam();
    HostileServer server;
    server.script = &script;
    server.listener = listenOnLoopback(80);
    ASSERT_GE(server.listener, 0);
    server.thread = std::thread(serveHostile, std::ref(server));
    std::string output = directory + "out.bin";
    // Level 5 shows the summary; the floods would log a line per header.
    const char* level = script.fillerBytes > 1000000 ? "-v1" : "-v5";
    ProgramOptions options;
    options.deadlineMillis = 60000;
    ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, level, "-w0", output, "127.0.0.1", "/"}, options);
    server.stopping = true;
    server.thread.join();
    std::string log = outcome.standardError.substr(0, 3000);
    EXPECT_EQ(script.exitStatus, outcome.exitStatus) << log;
    EXPECT_EQ(0, outcome.timedOut);
    EXPECT_NE(std::string::npos, outcome.standardError.find(script.logged)) << log;
    if (!script.absent.empty()) {
        EXPECT_EQ(std::string::npos, outcome.standardError.find(script.absent)) << log;
    }
    std::string stored;
    ASSERT_TRUE(readFileBytes(output, stored));
    EXPECT_EQ(script.storedBytes, stored);
    // The sanitizers' shadow memory would swamp what the program uses.
    if (!WEBHAUL_SANITIZED) {
        EXPECT_LT(largestChildPeakRssKiB(), kPeakRssLimitKiB);
    }
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileReply, testing::ValuesIn(hostileCases()),
                         [](const testing::TestParamInfo<HostileCase>& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
