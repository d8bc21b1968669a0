#include "tests/support/run_program.h"

#include "tests/support/private_network.h"
#include "tests/support/test_certificates.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
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
    if (!options.hostsFile.empty() && placeHostsFile(options.hostsFile) != 0) _exit(kHostsFileNotPlaced);
    for (const std::string& variable : options.environment) putenv(const_cast<char*>(variable.c_str()));
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The program must meet the signals as a user's shell would hand them
    // over, whatever the test process itself ignores or blocks.
    for (int handed : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(handed, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
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

// Notes the time for each line end in text from index from on.
void stampLineEnds(const std::string& text, size_t from, int millis, std::vector<int>& stamps) {
    for (size_t at = text.find('\n', from); at != std::string::npos; at = text.find('\n', at + 1)) {
        stamps.push_back(millis);
    }
}

// Returns captured standard error or output as the tests compare it. The
// Windows runtime writes both in text mode, every "\n" as "\r\n"; under
// Wine that is undone here, so the same expectations hold.
std::string comparedText(const std::string& captured) {
#ifdef WEBHAUL_UNDER_WINE
    std::string text;
    text.reserve(captured.size());
    for (size_t i = 0; i < captured.size(); ++i) {
        if (captured[i] != '\r' || i + 1 == captured.size() || captured[i + 1] != '\n') text += captured[i];
    }
    return text;
#else
    return captured;
#endif
}

}  // namespace

ProgramOutcome runProgram(const std::vector<std::string>& arguments, const ProgramOptions& options) {
    ProgramOutcome outcome;
    int errorPipe[2], outputPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0 || pipe2(outputPipe, O_CLOEXEC) != 0) return outcome;
    pid_t child = fork();
    if (child == 0) startChild(arguments, options, errorPipe, outputPipe);
    if (child < 0) {
        for (int fd : {errorPipe[0], errorPipe[1], outputPipe[0], outputPipe[1]}) close(fd);
        return outcome;
    }
    close(errorPipe[1]);
    close(outputPipe[1]);
    auto started = std::chrono::steady_clock::now();
    auto deadline = started + std::chrono::milliseconds(options.deadlineMillis);
    bool errorOpen = true, outputOpen = true, interrupted = false;
    auto interruptAt = std::chrono::steady_clock::time_point::max();
    while (errorOpen || outputOpen) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            outcome.timedOut = 1;
            break;
        }
        pollfd watched[2] = {{errorOpen ? errorPipe[0] : -1, POLLIN, 0}, {outputOpen ? outputPipe[0] : -1, POLLIN, 0}};
        if (poll(watched, 2, 50) < 0) continue;
        if (watched[0].revents != 0) {
            size_t before = outcome.standardError.size();
            errorOpen = drain(errorPipe[0], outcome.standardError);
            auto now = std::chrono::steady_clock::now();
            int millis = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now - started).count());
            stampLineEnds(outcome.standardError, before, millis, outcome.lineEndMillis);
        }
        if (watched[1].revents != 0) outputOpen = drain(outputPipe[0], outcome.standardOutput);
        if (interruptAt == std::chrono::steady_clock::time_point::max() && !options.interruptWhenSeen.empty() &&
            comparedText(outcome.standardError).find(options.interruptWhenSeen) != std::string::npos) {
            interruptAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.interruptDelayMillis);
        }
        if (!interrupted && std::chrono::steady_clock::now() >= interruptAt) {
            kill(child, options.interruptSignal);
            interrupted = true;
        }
    }
    close(errorPipe[0]);
    close(outputPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    outcome.standardError = comparedText(outcome.standardError);
    outcome.standardOutput = comparedText(outcome.standardOutput);
    if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.killedBySignal = WTERMSIG(status);
    return outcome;
}

std::string withWineResets(const std::string& captured, const std::string& expected) {
#ifdef WEBHAUL_UNDER_WINE
    const std::string closed = "recv: Disconnected\n";
    const std::string reset = "recv: Connection reset\n";
    std::string text = captured;
    for (size_t at = text.find(closed); at != std::string::npos; at = text.find(closed, at + reset.size())) {
        text.replace(at, closed.size(), reset);
    }
    return text == expected ? text : captured;
#else
    (void)expected;
    return captured;
#endif
}

std::string makeScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/webhaul-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) return "";
    return std::string(name.data()) + "/";
}

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }

}  // namespace

void removeScratchDirectory(const std::string& directory) {
    if (!directory.empty()) nftw(directory.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> directoryEntries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return names;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

int readFileBytes(const std::string& path, std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    bytes.clear();
    char block[65536];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, count);
    int ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

int writeFileBytes(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    int ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

std::vector<std::string> withOutputPath(const std::vector<std::string>& arguments, const std::string& outputPath) {
    std::vector<std::string> replaced = arguments;
    for (std::string& argument : replaced) {
        if (argument == "OUT") argument = outputPath;
    }
    return replaced;
}

Exchange runAgainstServer(const std::vector<ConnectionScript>& scripts, const std::vector<std::string>& arguments,
                          const ProgramOptions& options) {
    Exchange exchange;
    FakeServer server;
    int listening = !scripts.empty();
    server.tlsLeaf = options.tlsLeaf;
    // The program trusts the test authority, as every OpenSSL program would.
    if (!options.tlsLeaf.empty()) setenv("SSL_CERT_FILE", testAuthorityBundle().c_str(), 1);
    if (listening && startFakeServer(server, options.serverPort, scripts) != 0) return exchange;
    exchange.ready = 1;
    exchange.outcome = runProgram(arguments, options);
    if (listening) exchange.requests = stopFakeServer(server);
    return exchange;
}

int startInBackground(const std::vector<std::string>& arguments, const std::string& errorFile) {
    pid_t child = fork();
    if (child != 0) return child;
    int errorOutput = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (errorOutput < 0 || dup2(errorOutput, 2) < 0) _exit(127);
    int nullDevice = open("/dev/null", O_RDWR);
    if (nullDevice >= 0) {
        dup2(nullDevice, 0);
        dup2(nullDevice, 1);
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

int stopInBackground(int processId, int graceMillis) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMillis);
    pid_t ended = 0;
    while ((ended = waitpid(processId, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        poll(nullptr, 0, 10);
    }
    if (ended == 0) {
        kill(processId, SIGTERM);
        waitpid(processId, &status, 0);
    }
    return ended >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int waitForFileText(const std::string& path, const std::string& text, int deadlineMillis) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMillis);
    std::string bytes;
    while (std::chrono::steady_clock::now() < deadline) {
        if (readFileBytes(path, bytes) && bytes.find(text) != std::string::npos) return 1;
        poll(nullptr, 0, 10);
    }
    return 0;
}
