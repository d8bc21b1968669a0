#include "tests/support/run_program.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void startChild(const std::vector<std::string>& arguments, const ProgramOptions& options, int errorPipe[2],
                int outputPipe[2]) {
    dup2(errorPipe[1], 2);
    dup2(outputPipe[1], 1);
    close(errorPipe[0]);
    close(outputPipe[0]);
    int nullInput = open("/dev/null", O_RDONLY);
    if (nullInput >= 0) dup2(nullInput, 0);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    signal(SIGINT, SIG_DFL);
    execv(argv[0], argv.data());
    _exit(127);
}

// Moves what is readable from fd into text. Returns 0 at end of file.
int drain(int fd, std::string& text) {
    char block[65536];
    ssize_t count = read(fd, block, sizeof block);
    if (count > 0) text.append(block, static_cast<size_t>(count));
    return count > 0 || (count < 0 && errno == EINTR);
}

}  // namespace

ProgramOutcome runProgram(const std::vector<std::string>& arguments, const ProgramOptions& options) {
    ProgramOutcome outcome;
    int errorPipe[2], outputPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0 || pipe2(outputPipe, O_CLOEXEC) != 0) return outcome;
    pid_t child = fork();
    if (child == 0) startChild(arguments, options, errorPipe, outputPipe);
    close(errorPipe[1]);
    close(outputPipe[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.deadlineMillis);
    bool errorOpen = true, outputOpen = true, interrupted = false;
    while (errorOpen || outputOpen) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            outcome.timedOut = 1;
            break;
        }
        pollfd watched[2] = {{errorOpen ? errorPipe[0] : -1, POLLIN, 0}, {outputOpen ? outputPipe[0] : -1, POLLIN, 0}};
        if (poll(watched, 2, 50) < 0) continue;
        if (watched[0].revents != 0) errorOpen = drain(errorPipe[0], outcome.standardError);
        if (watched[1].revents != 0) outputOpen = drain(outputPipe[0], outcome.standardOutput);
        if (!interrupted && !options.interruptWhenSeen.empty() &&
            outcome.standardError.find(options.interruptWhenSeen) != std::string::npos) {
            kill(child, SIGINT);
            interrupted = true;
        }
    }
    close(errorPipe[0]);
    close(outputPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.killedBySignal = WTERMSIG(status);
    return outcome;
}
