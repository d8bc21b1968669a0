// The progress line on a terminal: redrawn at most about ten times a
// second however many blocks arrive, and always ending with the count of
// the last block before its newline.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/fake_server.h"
#include "tests/support/run_program.h"

namespace {

struct TerminalRun {
    int exitStatus = -1;
    std::string shown;  // what the terminal received
    long elapsedMillis = 0;
};

[[noreturn]] void startOnTerminal(const std::vector<std::string>& arguments, const char* terminalName) {
    setsid();
    int terminal = open(terminalName, O_RDWR);
    int nowhere = open("/dev/null", O_RDWR);
    if (terminal < 0 || nowhere < 0) _exit(126);
    dup2(nowhere, 0);
    dup2(nowhere, 1);
    dup2(terminal, 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    signal(SIGINT, SIG_DFL);
    execv(argv[0], argv.data());
    _exit(127);
}

// Runs the program with its standard error on a new pseudo-terminal and
// reads what it shows there until it exits or 20 s passed.
TerminalRun runOnTerminal(const std::vector<std::string>& arguments) {
    TerminalRun run;
    int controller = posix_openpt(O_RDWR | O_NOCTTY);
    if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0) return run;
    const char* name = ptsname(controller);
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) startOnTerminal(arguments, name);
    auto deadline = start + std::chrono::seconds(20);
    for (;;) {
        pollfd watched = {controller, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            break;
        }
        if (poll(&watched, 1, 50) <= 0) continue;
        char block[4096];
        ssize_t count = read(controller, block, sizeof block);
        if (count <= 0) break;  // no process holds the terminal any more
        run.shown.append(block, static_cast<size_t>(count));
    }
    int status = 0;
    waitpid(child, &status, 0);
    run.elapsedMillis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    close(controller);
    return run;
}

size_t progressLines(const std::string& shown) {
    size_t count = 0;
    for (size_t at = shown.find("\rReceived "); at != std::string::npos; at = shown.find("\rReceived ", at + 1)) ++count;
    return count;
}

struct TerminalCase {
    const char* name;
    size_t chunk;      // body bytes per server write
    size_t chunks;
    int pauseMillis;   // between writes
};

const TerminalCase kCases[] = {
    // Hundreds of blocks: a line for each would be hundreds of redraws.
    {"ManyBlocksFewRedraws", 1000, 300, 3},
    // The last block comes right after the first one: its line is held
    // back at first and must still be drawn before the newline.
    {"HeldBackLastLineDrawn", 5000, 2, 20},
};

class TerminalProgress : public testing::TestWithParam<TerminalCase> {};

TEST_P(TerminalProgress, RedrawsSparinglyAndEndsWithLastCount) {
    // Under Wine a terminal is drawn by Wine's console host, which renders
    // its own screen onto it with escape sequences: the bytes the program
    // wrote cannot be read back from the terminal there.
    SKIP_UNDER_WINE("Wine's console host redraws the terminal in its own way");
    const TerminalCase& c = GetParam();
    std::string body = patternBytes(c.chunk * c.chunks, 9);
    std::string size = std::to_string(body.size());
    FakeServer server;
    ASSERT_EQ(0, startFakeServer(server, 80,
                                 {{sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: " + size}, "")),
                                   pauseFor(20), sendData(body, c.chunk, c.pauseMillis), closeInOrder()}}));
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    TerminalRun run = runOnTerminal({WEBHAUL_BINARY, scratch.path + "out.bin", "127.0.0.1", "/tty"});
    stopFakeServer(server);
    EXPECT_EQ(0, run.exitStatus) << run.shown;
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    EXPECT_TRUE(stored == body);
    // The terminal turns the closing newline into CR LF.
    std::string last = "\rReceived " + size + "/" + size + " (100.0%)...\r\n";
    ASSERT_GE(run.shown.size(), last.size()) << run.shown;
    EXPECT_EQ(last, run.shown.substr(run.shown.size() - last.size()));
    // One line at the start, one every 100 ms at most, and the held-back
    // last one: more would mean a redraw per block.
    EXPECT_LE(progressLines(run.shown), static_cast<size_t>(run.elapsedMillis / 100 + 2)) << run.shown;
}

INSTANTIATE_TEST_SUITE_P(Cases, TerminalProgress, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<TerminalCase>& tested) { return std::string(tested.param.name); });

}  // namespace
