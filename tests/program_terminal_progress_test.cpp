// The meter on a terminal: fitted to the terminal's width, redrawn at most
// about ten times a second however many blocks arrive, always ending with
// the count of the last block before its newline, then a closing line.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
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
    // The program must meet Ctrl+C as a shell would hand it over, whatever
    // the test process blocks.
    signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// Runs the program with its standard error on a new pseudo-terminal of the
// given width and reads what it shows there until it exits or 20 s passed;
// sends SIGINT once the terminal shows interruptWhenSeen, when given, and
// the file named filled (if any) holds fillSize bytes.
TerminalRun runOnTerminal(const std::vector<std::string>& arguments, unsigned short columns,
                          std::string interruptWhenSeen = "", const std::string& filled = "", off_t fillSize = 0) {
    TerminalRun run;
    int controller = posix_openpt(O_RDWR | O_NOCTTY);
    if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0) return run;
    winsize size = {};
    size.ws_row = 24;
    size.ws_col = columns;
    if (ioctl(controller, TIOCSWINSZ, &size) != 0) return run;
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
        if (poll(&watched, 1, 50) > 0) {
            char block[4096];
            ssize_t count = read(controller, block, sizeof block);
            if (count <= 0) break;  // no process holds the terminal any more
            run.shown.append(block, static_cast<size_t>(count));
        }
        struct stat file;
        int fileReady = filled.empty() || (stat(filled.c_str(), &file) == 0 && file.st_size >= fillSize);
        if (!interruptWhenSeen.empty() && fileReady && run.shown.find(interruptWhenSeen) != std::string::npos) {
            kill(child, SIGINT);
            interruptWhenSeen.clear();
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    run.elapsedMillis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    close(controller);
    return run;
}

// Counts the redraws: every carriage return but those the terminal puts
// before a newline.
size_t redraws(const std::string& shown) {
    size_t count = 0;
    for (size_t at = 0; at + 1 < shown.size(); ++at) count += shown[at] == '\r' && shown[at + 1] != '\n';
    return count;
}

// Returns the longest stretch between line starts.
size_t longestLine(const std::string& shown) {
    size_t longest = 0;
    size_t length = 0;
    for (char byte : shown) {
        length = byte == '\r' || byte == '\n' ? 0 : length + 1;
        if (length > longest) longest = length;
    }
    return longest;
}

struct TerminalCase {
    const char* name;
    size_t chunk;      // body bytes per server write
    size_t chunks;
    int pauseMillis;   // between writes
    unsigned short columns;
    const char* lastLine;     // the meter as the body completes
    const char* closingLine;  // how the closing line begins
};

const TerminalCase kCases[] = {
    // Hundreds of blocks: a line for each would be hundreds of redraws.
    {"ManyBlocksFewRedraws", 1000, 300, 3, 80, "  293.0 KiB / 293.0 KiB   100.0%", "293.0 KiB in 0:0"},
    // The last block comes right after the first one: its line is held
    // back at first and must still be drawn before the newline.
    {"HeldBackLastLineDrawn", 5000, 2, 20, 80, "  9.8 KiB / 9.8 KiB   100.0%", "9.8 KiB in 0:00"},
    // Too narrow for the total and the rate: the line must not wrap.
    {"NarrowTerminalDropsParts", 1000, 300, 3, 30, "  293.0 KiB   100.0%", "293.0 KiB in 0:0"},
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
    TerminalRun run = runOnTerminal({WEBHAUL_BINARY, scratch.path + "out.bin", "127.0.0.1", "/tty"}, c.columns);
    stopFakeServer(server);
    EXPECT_EQ(0, run.exitStatus) << run.shown;
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    EXPECT_TRUE(stored == body);
    // The terminal turns each newline into CR LF.
    size_t meterEnd = run.shown.rfind("\r\n", run.shown.size() - 3);
    ASSERT_NE(std::string::npos, meterEnd) << run.shown;
    size_t meterStart = run.shown.rfind('\r', meterEnd - 1);
    ASSERT_NE(std::string::npos, meterStart) << run.shown;
    std::string last = run.shown.substr(meterStart + 1, meterEnd - meterStart - 1);
    EXPECT_EQ(0u, last.find(c.lastLine)) << last;
    std::string closing = run.shown.substr(meterEnd + 2);
    EXPECT_EQ(0u, closing.find(c.closingLine)) << closing;
    EXPECT_EQ("\r\n", closing.substr(closing.size() - 2));
    EXPECT_LT(longestLine(run.shown), static_cast<size_t>(c.columns)) << run.shown;
    // One line at the start, one every 100 ms at most, and the held-back
    // last one: more would mean a redraw per block.
    EXPECT_LE(redraws(run.shown), static_cast<size_t>(run.elapsedMillis / 100 + 2)) << run.shown;
}

// Ctrl+C mid-body: the meter is ended, with its last count (which the
// redraw limit may have held back), before INTERRUPT, which stands on a
// line of its own.
TEST(TerminalProgress, InterruptEndsMeterLineFirst) {
    SKIP_UNDER_WINE("Wine's console host redraws the terminal in its own way");
    std::string body = patternBytes(30000, 9);
    FakeServer server;
    ASSERT_EQ(0, startFakeServer(server, 80,
                                 {{sendData(httpReply("HTTP/1.0 200 OK", {"Content-Length: 100000"}, body)),
                                   stallUntilStopped()}}));
    ScratchDirectory scratch;
    ASSERT_NE("", scratch.path);
    // Interrupted once every byte sent is stored, so that the last count is known.
    TerminalRun run = runOnTerminal({WEBHAUL_BINARY, scratch.path + "out.bin", "127.0.0.1", "/tty"}, 80, " KiB / ",
                                    scratch.path + "out.bin", 30000);
    stopFakeServer(server);
    EXPECT_EQ(99, run.exitStatus) << run.shown;
    size_t interrupt = run.shown.rfind("\r\nINTERRUPT\r\n");
    ASSERT_NE(std::string::npos, interrupt) << run.shown;
    EXPECT_EQ(interrupt + 13, run.shown.size()) << run.shown;
    size_t lastDraw = run.shown.rfind('\r', interrupt - 1);
    ASSERT_NE(std::string::npos, lastDraw) << run.shown;
    const std::string lastCount = "  29.3 KiB / 97.7 KiB";
    EXPECT_EQ(lastCount, run.shown.substr(lastDraw + 1, lastCount.size())) << run.shown;
    std::string stored;
    ASSERT_TRUE(readFileBytes(scratch.path + "out.bin", stored));
    EXPECT_TRUE(stored == body);
}

INSTANTIATE_TEST_SUITE_P(Cases, TerminalProgress, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<TerminalCase>& tested) { return std::string(tested.param.name); });

}  // namespace
