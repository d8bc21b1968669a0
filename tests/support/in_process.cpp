#include "tests/support/in_process.h"

#include <csignal>
#include <cstdint>
#include <dirent.h>
#include <unistd.h>

#include "app/retry.h"

// Present only in sanitized builds: where reports go.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

// Every test here talks to a server in the same process; one that waits
// for a reply that never comes must end the run rather than hang it.
const unsigned kTestDeadlineSeconds = 120;

void onDeadline(int) {
    const char message[] = "\ntest deadline passed\n";
    ssize_t ignored = write(1, message, sizeof message - 1);
    (void)ignored;
    _exit(1);
}

class DeadlineListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        std::signal(SIGALRM, onDeadline);
        alarm(kTestDeadlineSeconds);
    }
    void OnTestEnd(const testing::TestInfo&) override { alarm(0); }
};

const bool deadlineInstalled = (testing::UnitTest::GetInstance()->listeners().Append(new DeadlineListener), true);

// A sanitizer report in the middle of a stderr capture must still be seen.
int keepSanitizerReportsVisible() {
    int descriptor = dup(2);
    if (__sanitizer_set_report_fd != nullptr) {
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(descriptor)));
    }
    return descriptor;
}

const int reportDescriptor = keepSanitizerReportsVisible();

}  // namespace

void beginStderrCapture(StderrCapture& capture) {
    std::fflush(stderr);
    capture.file = std::tmpfile();
    capture.savedDescriptor = dup(2);
    dup2(fileno(capture.file), 2);
}

std::string endStderrCapture(StderrCapture& capture) {
    std::fflush(stderr);
    dup2(capture.savedDescriptor, 2);
    close(capture.savedDescriptor);
    // The descriptor shared the file position, so read through a fresh start.
    std::string text = fileBytes(capture.file);
    std::fclose(capture.file);
    capture.file = nullptr;
    return text;
}

std::string fileBytes(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string bytes;
    char block[65536];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, count);
    return bytes;
}

int openDescriptorCount() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return -1;
    int count = 0;
    while (readdir(directory) != nullptr) ++count;
    closedir(directory);
    return count;
}

void prepareRequest(TransferRequest& request, unsigned short port, const char* path) {
    parseNumericAddress("127.0.0.1", port, request.addresses);
    assignText(request.host, "127.0.0.1");
    request.port = port;
    assignText(request.path, path);
    request.output = std::tmpfile();
}

int transferWithRetries(TransferRequest& request, TransferResult& result) {
    // Tests set the range of the first request; a restart asks for it again.
    request.askedFirst = request.rangeFirst;
    request.askedLast = request.rangeLast;
    int firstCompleted = fetchOnce(request, result);
    RetryPauses noPauses;
    if (!firstCompleted && result.stage != stageWriteFile && result.stage != stageServerRefused) {
        retryTransfer(request, result, noPauses);
    }
    if (result.stage == stageWriteFile) return 4;
    if (result.stage == stageServerRefused) return 3;
    return firstCompleted ? 0 : 10 + result.stage;
}
