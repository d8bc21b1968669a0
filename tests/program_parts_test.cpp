// A file fetched over several connections with the built program, from a
// server that answers each connection by its Range line, side by side:
// broken off and continued with -c, and broken at random.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_server.h"
#include "tests/support/run_program.h"
#include "tests/support/test_certificates.h"

namespace {

typedef RequestedRange ByteRange;

ByteRange rangeOf(const std::string& request) { return requestedRange(request); }

// The reply an honest server gives: 206 for a range, else 200, both
// announcing ranges and the version's tag.
std::string honestReply(const std::string& file, int version, const ByteRange& range) {
    long long size = static_cast<long long>(file.size());
    std::vector<std::string> headers = {"Accept-Ranges: bytes", "ETag: \"v" + std::to_string(version) + "\""};
    if (range.first < 0) {
        headers.push_back("Content-Length: " + std::to_string(size));
        return httpReply("HTTP/1.0 200 OK", headers, file);
    }
    if (range.first >= size) {
        headers.push_back("Content-Range: bytes */" + std::to_string(size));
        return httpReply("HTTP/1.0 416 Range Not Satisfiable", headers, "");
    }
    long long last = range.last < 0 || range.last >= size ? size - 1 : range.last;
    headers.push_back("Content-Range: bytes " + std::to_string(range.first) + "-" + std::to_string(last) + "/" +
                      std::to_string(size));
    headers.push_back("Content-Length: " + std::to_string(last + 1 - range.first));
    return httpReply("HTTP/1.0 206 Partial Content", headers,
                     file.substr(static_cast<size_t>(range.first), static_cast<size_t>(last + 1 - range.first)));
}

// Reads the stored ranges a state file names.
std::vector<ByteRange> storedRanges(const std::string& state) {
    std::vector<ByteRange> ranges;
    for (size_t at = state.find("\nstored "); at != std::string::npos; at = state.find("\nstored ", at + 1)) {
        ByteRange range;
        char* end = nullptr;
        range.first = std::strtoll(state.c_str() + at + 8, &end, 10);
        range.last = std::strtoll(end, nullptr, 10) - 1;
        ranges.push_back(range);
    }
    return ranges;
}

// Waits until the state file names at least bytes as stored.
void waitUntilStateHolds(const std::string& path, long long bytes) {
    for (int round = 0; round < 500; ++round) {
        std::string state;
        long long held = 0;
        if (readFileBytes(path, state)) {
            for (const ByteRange& range : storedRanges(state)) held += range.last + 1 - range.first;
        }
        if (held >= bytes) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

struct BreakCase {
    const char* name;
    int signalNumber;
    const char* continueOptions;
};

class BrokenParts : public testing::TestWithParam<BreakCase> {};

// A run in parts broken off by a signal leaves its state file; the run
// that continues it asks for no byte the state file names as stored, and
// trusts no byte the file holds past a gap without it.
TEST_P(BrokenParts, ContinuedByteExactAskingOnlyGaps) {
    SKIP_UNDER_WINE("the program is ended by POSIX signals here");
    const BreakCase& broken = GetParam();
    ScratchDirectory scratch;
    std::string file = patternBytes(8 << 20, 3);
    std::atomic<bool> slow{true};
    FakeServer server;
    ASSERT_EQ(0, startRespondingServer(server, 80, 40, [&](const std::string& request) -> ConnectionScript {
        std::string reply = honestReply(file, 0, rangeOf(request));
        return {sendData(reply, slow ? 8192 : 0, 10), closeInOrder()};
    }));
    std::string output = scratch.path + "out.bin";
    int child = startInBackground({WEBHAUL_BINARY, "-v1", "-s4", output, "127.0.0.1", "/f"}, scratch.path + "err");
    waitUntilStateHolds(output + ".webhaul", 1 << 20);
    kill(child, broken.signalNumber);
    int status = 0;
    waitpid(child, &status, 0);
    size_t firstRun = stopFakeServer(server).size();
    std::string state;
    ASSERT_TRUE(readFileBytes(output + ".webhaul", state));
    slow = false;
    FakeServer again;
    ASSERT_EQ(0, startRespondingServer(again, 80, 40, [&](const std::string& request) -> ConnectionScript {
        return {sendData(honestReply(file, 0, rangeOf(request))), closeInOrder()};
    }));
    ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, "-v1", "-c", broken.continueOptions, output, "127.0.0.1", "/f"});
    std::vector<std::string> requests = stopFakeServer(again);
    EXPECT_EQ(4u, firstRun);
    EXPECT_EQ(0, outcome.exitStatus) << outcome.standardError;
    std::string stored;
    ASSERT_TRUE(readFileBytes(output, stored));
    EXPECT_TRUE(stored == file) << stored.size() << " bytes";
    EXPECT_FALSE(readFileBytes(output + ".webhaul", state));
    for (const std::string& request : requests) {
        ByteRange asked = rangeOf(request);
        for (const ByteRange& held : storedRanges(state)) {
            EXPECT_TRUE(asked.last < held.first || asked.first > held.last) << request;
        }
    }
}

const BreakCase kBreakCases[] = {
    {"InterruptThenContinueInParts", SIGINT, "-s4"},
    {"KillThenContinueOnOne", SIGKILL, "-s1"},
};

INSTANTIATE_TEST_SUITE_P(Parts, BrokenParts, testing::ValuesIn(kBreakCases), nameOf<BreakCase>);

struct IgnoredStateCase {
    const char* name;
    std::string state;  // the state file's text
    const char* why;
    size_t kept;        // the leading bytes the run keeps and continues from
};

class IgnoredState : public testing::TestWithParam<IgnoredStateCase> {};

// A state file that cannot guide -c is set aside with a line: the file is
// continued from the start the state file proves, nothing past its first gap.
TEST_P(IgnoredState, KeepsOnlyTheProvenStart) {
    const IgnoredStateCase& ignored = GetParam();
    ScratchDirectory scratch;
    std::string file = patternBytes(3 << 20, 8);
    std::string output = scratch.path + "out.bin";
    // Past the proven start the file holds zeros where a gap was.
    ASSERT_TRUE(writeFileBytes(output, file.substr(0, 1 << 20) + std::string(1 << 20, '\0')));
    ASSERT_TRUE(writeFileBytes(output + ".webhaul", ignored.state));
    FakeServer server;
    ASSERT_EQ(0, startRespondingServer(server, 80, 1, [&](const std::string& request) -> ConnectionScript {
        return {sendData(honestReply(file, 0, rangeOf(request))), closeInOrder()};
    }));
    ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, "-v1", "-c", output, "127.0.0.1", "/f"});
    std::vector<std::string> requests = stopFakeServer(server);
    EXPECT_EQ("State file " + output + ".webhaul ignored: " + ignored.why + "; keeping the first " +
                  std::to_string(ignored.kept) + " bytes\n",
              outcome.standardError);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(ignored.kept == 0 ? -1 : static_cast<long long>(ignored.kept), rangeOf(requests[0]).first);
    std::string stored;
    ASSERT_TRUE(readFileBytes(output, stored));
    EXPECT_TRUE(stored == file) << stored.size() << " bytes";
}

std::string stateOf(const char* address, const char* ranges) {
    return std::string("webhaul parts 1\naddress ") + address + "\nparts-address " + address +
           "\ntotal 3145728\nfirst 0\nlast -1\n" + ranges + "end\n";
}

const char kTwoRanges[] = "stored 0 1048576\nstored 2097152 3145728\n";

const IgnoredStateCase kIgnoredStates[] = {
    {"AnotherAddress", stateOf("http://127.0.0.1/g", kTwoRanges), "it names another address", 1 << 20},
    {"RangesBeyondFile", stateOf("http://127.0.0.1/f", kTwoRanges), "it names bytes beyond the file", 1 << 20},
    {"Unreadable", stateOf("http://127.0.0.1/f", "stored 0 10485x\n"), "it cannot be read", 0},
};

INSTANTIATE_TEST_SUITE_P(Parts, IgnoredState, testing::ValuesIn(kIgnoredStates), nameOf<IgnoredStateCase>);

// Over https each part has its own handshake, with the name checked.
TEST(PartsOverTls, FourPartsByteExact) {
    ScratchDirectory scratch;
    std::string file = patternBytes(4 << 20, 9);
    setenv("SSL_CERT_FILE", testAuthorityBundle().c_str(), 1);
    FakeServer server;
    server.tlsLeaf = kLeafLocalhost;
    ASSERT_EQ(0, startRespondingServer(server, 443, 4, [&](const std::string& request) -> ConnectionScript {
        return {sendData(honestReply(file, 0, rangeOf(request))), closeInOrder()};
    }));
    ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, "-v1", "-s4", scratch.path + "f", "https://127.0.0.1", "/f"});
    EXPECT_EQ(4u, stopFakeServer(server).size());
    EXPECT_EQ(0, outcome.exitStatus) << outcome.standardError;
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "f", stored));
    EXPECT_TRUE(stored == file) << stored.size() << " bytes";
}

class TrickledHeaders : public testing::TestWithParam<const char*> {};

// A header section that trickles in, a byte every 400 ms, meets -t2
// counted from the request, not from its last byte: on one connection
// and on a part's, the note comes 2 to 3 s after the start.
TEST_P(TrickledHeaders, TimeOutAtLimitFromRequest) {
    ScratchDirectory scratch;
    std::string file = patternBytes(4 << 20, 6);
    int parts = std::string(GetParam()) != "-s1";
    std::atomic<int> trickled{0};
    FakeServer server;
    ASSERT_EQ(0, startRespondingServer(server, 80, 5, [&](const std::string& request) -> ConnectionScript {
        ByteRange range = rangeOf(request);
        if ((parts ? range.first == 2 << 20 : range.first < 0) && trickled++ == 0) {
            return {sendData("HTTP/1.0 200 OK\r\nX-Slow: " + std::string(20, 's'), 1, 400), closeInOrder()};
        }
        return {sendData(honestReply(file, 0, range)), closeInOrder()};
    }));
    ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, "-v1", "-w0", "-t2", GetParam(), scratch.path + "f", "127.0.0.1", "/f"});
    stopFakeServer(server);
    EXPECT_EQ(10, outcome.exitStatus);
    ASSERT_EQ("recv: Timed out\n\n", outcome.standardError);
    EXPECT_TRUE(outcome.lineEndMillis[0] >= 2000 && outcome.lineEndMillis[0] <= 3000) << outcome.lineEndMillis[0];
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "f", stored));
    EXPECT_TRUE(stored == file) << stored.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Parts, TrickledHeaders, testing::Values("-s1", "-s4"));

// Breaks at random, now and then a new version of the file: a run in
// parts that reports success must leave exactly one version, whole.
TEST(RandomParts, SuccessMeansFileEqualsSource) {
    for (unsigned seed = 900; seed < 924; ++seed) {
        std::mt19937 random(seed);
        std::string versions[2] = {patternBytes((2 << 20) + random() % (4 << 20), seed),
                                   patternBytes((2 << 20) + random() % (4 << 20), seed + 1)};
        int version = 0;
        int connections = 0;
        int changesAt = random() % 3 == 0 ? 2 + static_cast<int>(random() % 6) : -1;
        FakeServer server;
        ASSERT_EQ(0, startRespondingServer(server, 80, 60, [&](const std::string& request) -> ConnectionScript {
            if (++connections == changesAt) version = 1;
            std::string reply = honestReply(versions[version], version, rangeOf(request));
            if (connections > 10 || random() % 3 != 0) return {sendData(reply), closeInOrder()};
            ServerStep ending = random() % 2 == 0 ? resetConnection() : closeInOrder();
            return {sendData(reply.substr(0, random() % reply.size())), ending};
        }));
        ScratchDirectory scratch;
        std::string parts = "-s" + std::to_string(2 + seed % 5);
        ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, "-v0", "-w0", parts, scratch.path + "f", "127.0.0.1", "/f"});
        stopFakeServer(server);
        std::string stored;
        readFileBytes(scratch.path + "f", stored);
        if (outcome.exitStatus == 0 || outcome.exitStatus == 10) {
            ASSERT_TRUE(stored == versions[version]) << "seed " << seed << ": " << stored.size() << " bytes";
        } else {
            ASSERT_TRUE(outcome.exitStatus >= 11 && outcome.exitStatus <= 14) << "seed " << seed;
        }
    }
}

}  // namespace
