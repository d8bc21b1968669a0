// Randomised breaks against a server that honours ranges: whatever happens,
// a run that reports success must leave the file equal to the source.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "http/transfer.h"
#include "support/log.h"
#include "tests/support/fake_server.h"
#include "tests/support/in_process.h"

namespace {

const int kRandomRuns = 300;
const unsigned kSeedBase = 7100;
// After this many connections the server stops breaking them.
const int kBreakingConnections = 8;
const int kLongRunFailures = 300;

struct SourceServer {
    std::string source;
    std::mt19937 random;
    bool announceRanges = false;
    int connections = 0;
};

struct AskedRange {
    std::int64_t first = -1;
    std::int64_t last = -1;  // -1: to the end
};

AskedRange rangeOf(const std::string& request) {
    AskedRange range;
    size_t at = request.find("\r\nRange: bytes=");
    if (at == std::string::npos) return range;
    char* end = nullptr;
    range.first = std::strtoll(request.c_str() + at + 15, &end, 10);
    if (*end == '-' && end[1] >= '0' && end[1] <= '9') range.last = std::strtoll(end + 1, nullptr, 10);
    return range;
}

// Returns the head and body of a full reply to the request: 206 for the
// asked range, or 200 with the whole source when the range is ignored.
std::string answer(const SourceServer& server, const AskedRange& range, bool ignoreRange) {
    std::string ranges = server.announceRanges ? "Accept-Ranges: bytes\r\n" : "";
    std::int64_t size = static_cast<std::int64_t>(server.source.size());
    if (range.first < 0 || ignoreRange) {
        return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n" + ranges + "\r\n" + server.source;
    }
    std::int64_t last = range.last < 0 || range.last >= size ? size - 1 : range.last;
    return "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(range.first) + "-" +
           std::to_string(last) + "/" + std::to_string(size) + "\r\nContent-Length: " +
           std::to_string(last - range.first + 1) + "\r\n" + ranges + "\r\n" +
           server.source.substr(static_cast<size_t>(range.first), static_cast<size_t>(last - range.first + 1));
}

// Answers in full, or breaks the reply at a random point before its end
// with a reset or an orderly close.
ConnectionScript randomScript(SourceServer& server, const std::string& request) {
    ++server.connections;
    std::string reply = answer(server, rangeOf(request), server.random() % 5 == 0);
    if (server.connections > kBreakingConnections || server.random() % 2 == 0) {
        return {sendData(reply), closeInOrder()};
    }
    size_t cut = server.random() % reply.size();
    ServerStep ending = server.random() % 2 == 0 ? resetConnection() : closeInOrder();
    return {sendData(reply.substr(0, cut)), ending};
}

struct RunOutcome {
    int status = -1;
    std::string file;
};

// Runs a transfer with retries against a server that answers with respond.
void runAgainst(Responder respond, int connectionLimit, RunOutcome& outcome) {
    FakeServer server;
    ASSERT_EQ(0, startRespondingServer(server, 0, connectionLimit, respond));
    TransferRequest request;
    prepareRequest(request, server.port, "/random");
    TransferResult result;
    verbosity = 0;
    outcome.status = transferWithRetries(request, result);
    stopFakeServer(server);
    outcome.file = fileBytes(request.output);
    std::fclose(request.output);
}

TEST(RetryRandom, SuccessMeansFileEqualsSource) {
    for (unsigned seed = kSeedBase; seed < kSeedBase + kRandomRuns; ++seed) {
        SourceServer source;
        source.random.seed(seed);
        source.source = patternBytes(40000 + source.random() % 160000, seed);
        source.announceRanges = source.random() % 2 == 0;
        RunOutcome outcome;
        runAgainst([&source](const std::string& request) { return randomScript(source, request); },
                   kBreakingConnections + 4, outcome);
        if (outcome.status == 0 || outcome.status == 10) {
            ASSERT_TRUE(outcome.file == source.source) << "seed " << seed << ": status " << outcome.status
                                                       << ", file " << outcome.file.size() << " of "
                                                       << source.source.size() << " bytes";
        } else {
            ASSERT_TRUE(outcome.status >= 11 && outcome.status <= 14) << "seed " << seed << ": status " << outcome.status;
        }
    }
}

// Every failure brings enough bytes to keep the policy going, so the run
// makes hundreds of attempts; none of them may leave a descriptor behind.
TEST(RetryRandom, LongRunKeepsDescriptorCount) {
    SourceServer source;
    source.source = patternBytes(static_cast<size_t>(kLongRunFailures + 1) * 26000, 5);
    source.announceRanges = true;
    auto respond = [&source](const std::string& request) -> ConnectionScript {
        std::string reply = answer(source, rangeOf(request), false);
        if (++source.connections > kLongRunFailures) return {sendData(reply), closeInOrder()};
        return {sendData(reply.substr(0, reply.find("\r\n\r\n") + 4 + 26000)), resetConnection()};
    };
    int before = openDescriptorCount();
    RunOutcome outcome;
    runAgainst(respond, kLongRunFailures + 1, outcome);
    EXPECT_EQ(before, openDescriptorCount());
    EXPECT_EQ(kLongRunFailures + 1, source.connections);
    EXPECT_EQ(10, outcome.status);
    EXPECT_TRUE(outcome.file == source.source);
}

}  // namespace
