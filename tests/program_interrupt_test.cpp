// Ctrl+C, SIGTERM and SIGHUP with the built program: it ends with status
// 99 at whatever point it waits, and keeps the bytes it has received so far.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_server.h"
#include "tests/support/private_network.h"
#include "tests/support/run_program.h"

namespace {

std::string served() { return patternBytes(100000, 5); }

std::string endOf(const std::string& text, size_t count) {
    return text.size() < count ? text : text.substr(text.size() - count);
}

struct InterruptCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<ConnectionScript> scripts;
    const char* interruptWhenSeen;
    const char* standardErrorEnd;  // how standard error must end
    std::string stored;
    int signalNumber = SIGINT;
};

class Interrupted : public testing::TestWithParam<InterruptCase> {};

TEST_P(Interrupted, EndsWithStatus99KeepingBytes) {
    const InterruptCase& interrupt = GetParam();
    if (interrupt.signalNumber != SIGINT) SKIP_UNDER_WINE("Windows has no such signal; Wine ends the program itself");
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    std::vector<std::string> command = {WEBHAUL_BINARY};
    command.insert(command.end(), interrupt.options.begin(), interrupt.options.end());
    command.insert(command.end(), {scratch.path + "out.bin", "127.0.0.1", "/f"});
    ProgramOptions options;
    options.interruptWhenSeen = interrupt.interruptWhenSeen;
    options.interruptSignal = interrupt.signalNumber;
    options.deadlineMillis = 10000;
    Exchange exchange = runAgainstServer(interrupt.scripts, command, options);
    ASSERT_TRUE(exchange.ready);
    EXPECT_EQ(0, exchange.outcome.timedOut);
    EXPECT_EQ(0, exchange.outcome.killedBySignal);
    EXPECT_EQ(99, exchange.outcome.exitStatus);
    const std::string& errors = exchange.outcome.standardError;
    std::string end = interrupt.standardErrorEnd;
    EXPECT_EQ(end, endOf(withWineResets(errors, end), end.size())) << errors;
    EXPECT_EQ("", exchange.outcome.standardOutput);
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    EXPECT_TRUE(interrupt.stored == stored) << "stored " << stored.size() << " bytes, expected "
                                            << interrupt.stored.size();
}

std::string headOf200(bool announcesRanges) {
    std::vector<std::string> headers = {"Content-Length: 100000"};
    if (announcesRanges) headers.push_back("Accept-Ranges: bytes");
    return httpReply("HTTP/1.0 200 OK", headers, "");
}

std::string headOf206(size_t from) {
    return httpReply("HTTP/1.0 206 Partial Content",
                     {"Content-Range: bytes " + std::to_string(from) + "-99999/100000",
                      "Content-Length: " + std::to_string(100000 - from)},
                     "");
}

const InterruptCase kInterruptCases[] = {
    {"StalledMidBody",
     {},
     {{sendData(headOf200(false) + served().substr(0, 5000)), stallUntilStopped()}},
     "Received 5000/100000",
     "Received 5000/100000 (5.0%)...INTERRUPT\n",
     served().substr(0, 5000)},
    {"StalledMidBodyTraced",
     {"-v9"},
     {{sendData(headOf200(false) + served().substr(0, 5000)), stallUntilStopped()}},
     "Received 5000/100000",
     "Received 5000/100000 (5.0%)...INTERRUPT\nCleaning up...\n",
     served().substr(0, 5000)},
    // The stored bytes sit in the program's file buffer until the exit
    // path flushes them.
    {"StalledAfterManyBlocks",
     {},
     {{sendData(headOf200(false) + served().substr(0, 70000), 7000), stallUntilStopped()}},
     "Received 70000/100000",
     "\rReceived 70000/100000 (70.0%)...INTERRUPT\n",
     served().substr(0, 70000)},
    {"WaitingForReply",
     {"-v8"},
     {{stallUntilStopped()}},
     "Waiting for reply...\n",
     "Waiting for reply...\nINTERRUPT\n",
     ""},
    {"StalledRetry",
     {"-w0"},
     {{sendData(headOf200(true) + served().substr(0, 3000)), pauseFor(150), resetConnection()},
      {sendData(headOf206(3000) + served().substr(3000, 1000)), stallUntilStopped()}},
     "Received 1000/97000",
     // Whole, so that a reset that reads as a close under Wine can match.
     "\rReceived 3000/100000 (3.0%)...\nrecv: Connection reset\n\n\rReceived 1000/97000 (1.0%)...INTERRUPT\n",
     served().substr(0, 4000)},
    // A pause of 100 s before the retry: only the interrupt can end it in time.
    {"DuringPause",
     {"-w100"},
     {{closeInOrder()}},
     "recv: Disconnected\n\n",
     "recv: Disconnected\n\nINTERRUPT\n",
     ""},
    {"TerminatedAfterManyBlocks",
     {},
     {{sendData(headOf200(false) + served().substr(0, 70000), 7000), stallUntilStopped()}},
     "Received 70000/100000",
     "\rReceived 70000/100000 (70.0%)...INTERRUPT\n",
     served().substr(0, 70000),
     SIGTERM},
    {"HungUpAfterManyBlocks",
     {"-v9"},
     {{sendData(headOf200(false) + served().substr(0, 70000), 7000), stallUntilStopped()}},
     "Received 70000/100000",
     "\rReceived 70000/100000 (70.0%)...INTERRUPT\nCleaning up...\n",
     served().substr(0, 70000),
     SIGHUP},
};

INSTANTIATE_TEST_SUITE_P(Interrupt, Interrupted, testing::ValuesIn(kInterruptCases),
                         nameOf<InterruptCase>);

// Ctrl+C while the program waits to write to an output nobody reads (a
// terminal here): no write failure is reported, and the exit does not wait
// for ever to write out the buffered bytes.
TEST(InterruptedWrite, BlockedOutputEndsWithStatus99) {
    SKIP_UNDER_WINE("a Unix terminal as the output file means nothing to Windows");
    int controller = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_LE(0, controller);
    ASSERT_EQ(0, grantpt(controller));
    ASSERT_EQ(0, unlockpt(controller));
    std::string terminal = ptsname(controller);
    std::string body = patternBytes(400000, 7);
    std::string reply = httpReply("HTTP/1.0 200 OK", {"Content-Length: 400000"}, body);
    ProgramOptions options;
    options.interruptWhenSeen = "Received";
    options.interruptDelayMillis = 500;  // the terminal is full by then
    options.deadlineMillis = 10000;
    Exchange exchange = runAgainstServer({{sendData(reply), stallUntilStopped()}},
                                         {WEBHAUL_BINARY, terminal, "127.0.0.1", "/f"}, options);
    close(controller);
    ASSERT_TRUE(exchange.ready);
    EXPECT_EQ(0, exchange.outcome.timedOut);
    EXPECT_EQ(99, exchange.outcome.exitStatus);
    EXPECT_EQ("INTERRUPT\n", endOf(exchange.outcome.standardError, 10)) << exchange.outcome.standardError;
}

// Reads a FIFO slowly, 4 KiB every 20 ms, until its writer is gone.
void readSlowly(std::string path, std::string* bytes) {
    int reader = open(path.c_str(), O_RDONLY);
    char block[4096];
    for (ssize_t count; reader >= 0 && (count = read(reader, block, sizeof block)) > 0;) {
        bytes->append(block, static_cast<size_t>(count));
        usleep(20000);
    }
    if (reader >= 0) close(reader);
}

// Returns the count of the last progress line.
long lastCount(const std::string& log) {
    size_t at = log.rfind("Received ");
    return at == std::string::npos ? -1 : std::atol(log.c_str() + at + 9);
}

// SIGTERM while a slow output is still taking the body: every byte the
// progress counted reaches it, on the direct path (a plain body) and on the
// plain one (chunks), where a write cut short would drop the buffer.
TEST(InterruptedWrite, SlowOutputGetsEveryCountedByte) {
    SKIP_UNDER_WINE("Windows has no FIFOs in its file system");
    std::string body = patternBytes(600000, 3);
    std::string chunked;
    for (size_t at = 0; at < body.size(); at += 6000) chunked += "1770\r\n" + body.substr(at, 6000) + "\r\n";
    // Half the body, then silence: the run cannot complete before the signal.
    const std::string replies[] = {httpReply("HTTP/1.0 200 OK", {"Content-Length: 1200000"}, body),
                                   httpReply("HTTP/1.1 200 OK", {"Transfer-Encoding: chunked"}, chunked)};
    for (const std::string& reply : replies) {
        ScratchDirectory scratch;
        ASSERT_NE("", scratch.path);
        std::string fifo = scratch.path + "fifo";
        ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
        std::string received;
        std::thread reader(readSlowly, fifo, &received);
        ProgramOptions options;
        options.interruptWhenSeen = "Received";
        options.interruptSignal = SIGTERM;
        options.interruptDelayMillis = 300;
        options.deadlineMillis = 15000;
        Exchange exchange = runAgainstServer({{sendData(reply), stallUntilStopped()}},
                                             {WEBHAUL_BINARY, fifo, "127.0.0.1", "/f"}, options);
        reader.join();
        ASSERT_TRUE(exchange.ready);
        EXPECT_EQ(99, exchange.outcome.exitStatus);
        EXPECT_EQ(lastCount(exchange.outcome.standardError), static_cast<long>(received.size()));
        EXPECT_TRUE(received == body.substr(0, received.size()));
    }
}

// Ctrl+C while opening an output that waits for a reader (a FIFO): the
// open is cut short and nothing is reported as a failed open.
TEST(InterruptedOpen, FifoWithoutReaderEndsWithStatus99) {
    SKIP_UNDER_WINE("Windows has no FIFOs in its file system");
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    ASSERT_EQ(0, mkfifo((scratch.path + "fifo").c_str(), 0600));
    ProgramOptions options;
    options.interruptWhenSeen = "Looking up";
    options.interruptDelayMillis = 200;
    options.deadlineMillis = 10000;
    ProgramOutcome outcome = runProgram({WEBHAUL_BINARY, "-v9", scratch.path + "fifo", "localhost", "/f"}, options);
    EXPECT_EQ(0, outcome.timedOut);
    EXPECT_EQ(99, outcome.exitStatus);
    EXPECT_EQ("Looking up address of host \"localhost\"...\nINTERRUPT\nCleaning up...\n", outcome.standardError);
}

// Ctrl+C while the host lookup waits for a name server: the output file is
// not opened yet, so an existing one keeps its bytes.
TEST(InterruptedLookup, LeavesExistingFileUntouched) {
    SilentNameServer nameServer;
    std::string why;
    if (!startSilentNameServer(nameServer, why)) GTEST_SKIP() << "no slow lookup here: " << why;
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    ASSERT_TRUE(writeFileBytes(scratch.path + "out.bin", "older bytes"));
    ProgramOptions options;
    options.interruptWhenSeen = "Looking up";
    options.deadlineMillis = 10000;
    ProgramOutcome outcome =
        runProgram(programWith({"-v9", "OUT", "slow-lookup.example", "/f"}, scratch.path + "out.bin"), options);
    stopSilentNameServer(nameServer);
    EXPECT_EQ(0, outcome.timedOut);
    EXPECT_EQ(99, outcome.exitStatus);
    EXPECT_EQ("Looking up address of host \"slow-lookup.example\"...\nINTERRUPT\nCleaning up...\n",
              outcome.standardError);
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    EXPECT_EQ("older bytes", stored);
}

}  // namespace
