// Randomised breaks against a server that honours ranges: whatever happens,
// a run that reports success must leave the file equal to the source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

// What a server may do besides breaking the connection: answers that an
// honest server would not give, or that belong to another version of the
// file.
enum Misstep {
    answerHonestly,
    ignoreRange,       // 200 with the whole file to a range request
    errorPage,         // 503 whatever was asked
    wrongOffset,       // 206 that starts a few bytes before the asked byte
    wrong416Total,     // 416 whose total is not the file's length
    bytesPastLength,   // more bytes after a complete body
    noLength,          // 200 without Content-Length
    chunked,           // 200 in chunks
    headerThenReset,   // a 200's header section, then a reset
    continueFirst,     // an interim 100 Continue before the answer
    misstepCount,
};

struct SourceServer {
    std::string versions[2];  // the file, and what it becomes when it changes
    int version = 0;
    int changesAt = -1;       // the connection from which version 1 is served
    std::mt19937 random;
    bool announceRanges = false;
    int connections = 0;
};

typedef RequestedRange AskedRange;

AskedRange rangeOf(const std::string& request) { return requestedRange(request); }

std::string inChunks(const std::string& body) {
    std::string framed;
    for (size_t at = 0; at < body.size(); at += 7000) {
        std::string piece = body.substr(at, 7000);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        framed += size + piece + "\r\n";
    }
    return framed + "0\r\n\r\n";
}

std::string wholeReply(const SourceServer& server, const std::string& head, int misstep) {
    const std::string& source = server.versions[server.version];
    if (misstep == chunked) return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + head + "\r\n" + inChunks(source);
    std::string length = misstep == noLength ? "" : "Content-Length: " + std::to_string(source.size()) + "\r\n";
    return "HTTP/1.0 200 OK\r\n" + length + head + "\r\n" + source;
}

// Returns the head and body of a full reply to the request: 206 for the
// asked range, 200 with the whole file, 416 past its end, or the misstep.
std::string answer(const SourceServer& server, const AskedRange& range, int misstep) {
    const std::string& source = server.versions[server.version];
    std::string head = (server.announceRanges ? "Accept-Ranges: bytes\r\n" : "") + std::string("ETag: \"v") +
                       std::to_string(server.version) + "\"\r\n";
    std::int64_t size = static_cast<std::int64_t>(source.size());
    if (misstep == continueFirst) return "HTTP/1.1 100 Continue\r\n\r\n" + answer(server, range, answerHonestly);
    if (misstep == errorPage) return "HTTP/1.0 503 Busy\r\nContent-Length: 4\r\n\r\nbusy";
    if (range.first < 0 || misstep == ignoreRange || misstep == noLength || misstep == chunked) {
        return wholeReply(server, head, misstep);
    }
    if (range.first >= size) {
        std::int64_t total = misstep == wrong416Total ? size + 1 : size;
        return "HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(total) + "\r\n" + head +
               "\r\n";
    }
    std::int64_t first = misstep == wrongOffset ? std::max<std::int64_t>(0, range.first - 7) : range.first;
    std::int64_t last = range.last < 0 || range.last >= size ? size - 1 : range.last;
    std::string reply = "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                        std::to_string(last) + "/" + std::to_string(size) + "\r\nContent-Length: " +
                        std::to_string(last - first + 1) + "\r\n" + head + "\r\n" +
                        source.substr(static_cast<size_t>(first), static_cast<size_t>(last - first + 1));
    return misstep == bytesPastLength ? reply + "bytes past the length" : reply;
}

// Answers in full, or breaks the reply at a random point before its end
// with a reset or an orderly close; now and then with a misstep.
ConnectionScript randomScript(SourceServer& server, const std::string& request) {
    if (++server.connections == server.changesAt) server.version = 1;
    int misstep = server.random() % 3 == 0 ? static_cast<int>(server.random() % misstepCount) : answerHonestly;
    std::string reply = answer(server, rangeOf(request), misstep == headerThenReset ? ignoreRange : misstep);
    if (misstep == headerThenReset) return {sendData(reply.substr(0, reply.find("\r\n\r\n") + 4)), resetConnection()};
    if (server.connections > kBreakingConnections || server.random() % 2 == 0) {
        return {sendData(reply), closeInOrder()};
    }
    size_t cut = server.random() % reply.size();
    // A body without a length, or an error page, may end where the server
    // closes: a cut there cannot be told from the end, so only resets break them.
    bool closeMayCut = misstep != noLength && misstep != errorPage;
    ServerStep ending = server.random() % 2 == 0 || !closeMayCut ? resetConnection() : closeInOrder();
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
        source.versions[0] = patternBytes(40000 + source.random() % 160000, seed);
        source.versions[1] = patternBytes(40000 + source.random() % 160000, seed + 1);
        source.announceRanges = source.random() % 2 == 0;
        if (source.random() % 4 == 0) source.changesAt = 2 + static_cast<int>(source.random() % kBreakingConnections);
        RunOutcome outcome;
        runAgainst([&source](const std::string& request) { return randomScript(source, request); },
                   kBreakingConnections + 4, outcome);
        const std::string& served = source.versions[source.version];
        if (outcome.status == 0 || outcome.status == 10) {
            // An error page is a complete reply too: without -f it is what
            // a run stores when the server gives nothing else.
            ASSERT_TRUE(outcome.file == served || outcome.file == "busy") << "seed " << seed << ": status " << outcome.status << ", file "
                                                << outcome.file.size() << " of " << served.size() << " bytes";
        } else {
            ASSERT_TRUE(outcome.status >= 11 && outcome.status <= 14) << "seed " << seed << ": status " << outcome.status;
        }
    }
}

// Every failure brings enough bytes to keep the policy going, so the run
// makes hundreds of attempts; none of them may leave a descriptor behind.
TEST(RetryRandom, LongRunKeepsDescriptorCount) {
    SourceServer source;
    source.versions[0] = patternBytes(static_cast<size_t>(kLongRunFailures + 1) * 26000, 5);
    source.announceRanges = true;
    auto respond = [&source](const std::string& request) -> ConnectionScript {
        std::string reply = answer(source, rangeOf(request), answerHonestly);
        if (++source.connections > kLongRunFailures) return {sendData(reply), closeInOrder()};
        return {sendData(reply.substr(0, reply.find("\r\n\r\n") + 4 + 26000)), resetConnection()};
    };
    int before = openDescriptorCount();
    RunOutcome outcome;
    runAgainst(respond, kLongRunFailures + 1, outcome);
    EXPECT_EQ(before, openDescriptorCount());
    EXPECT_EQ(kLongRunFailures + 1, source.connections);
    EXPECT_EQ(10, outcome.status);
    EXPECT_TRUE(outcome.file == source.versions[0]);
}

}  // namespace
