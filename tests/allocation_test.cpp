// A successful attempt works in fixed storage: from the start of the
// attempt to its end, the calling thread takes nothing from the heap, on
// either body path and whether or not progress is shown.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "http/transfer.h"
#include "support/log.h"
#include "tests/support/fake_server.h"
#include "tests/support/in_process.h"

// Every allocation of the process passes through these; only the ones the
// counting thread makes while counting is on are counted (the fake server
// runs in a thread of its own and allocates freely).
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

thread_local int counting = 0;
thread_local long allocations = 0;

void noteAllocation() {
    if (counting) ++allocations;
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    noteAllocation();
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** result, size_t alignment, size_t size) {
    void* pointer = memalign(alignment, size);
    if (pointer == nullptr) return ENOMEM;
    *result = pointer;
    return 0;
}

void free(void* pointer) { __libc_free(pointer); }

}  // extern "C"

namespace {

TEST(AllocationCounter, SeesAllocationsOfTheCountingThread) {
    allocations = 0;
    counting = 1;
    std::string* text = new std::string(100, 'x');
    void* block = std::malloc(50);
    counting = 0;
    std::free(block);
    delete text;
    EXPECT_GE(allocations, 2);
}

struct AllocationCase {
    const char* name;
    int verbosity;
    const char* mode;  // "w+b": the direct path; "a+b": the plain path after the first block
};

const AllocationCase kCases[] = {
    {"SilentDirectPath", 0, "w+b"},
    {"ProgressDirectPath", 3, "w+b"},
    {"SilentPlainPath", 0, "a+b"},
    {"ProgressPlainPath", 3, "a+b"},
};

class AttemptAllocations : public testing::TestWithParam<AllocationCase> {};

TEST_P(AttemptAllocations, NoneDuringSuccessfulMultiBlockFetch) {
    const AllocationCase& c = GetParam();
    static char outputBuffer[64 * 1024];
    std::string body = patternBytes(600 * 1024, 11);
    std::string reply = httpReply("HTTP/1.0 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
    FakeServer server;
    ASSERT_EQ(0, startFakeServer(server, 0, {{sendData(reply, 20000), closeInOrder()}}));
    TransferRequest request;
    prepareRequest(request, server.port, "/counted");
    std::fclose(request.output);
    char path[] = "/tmp/webhaul-allocation-XXXXXX";
    int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    close(descriptor);
    request.output = std::fopen(path, c.mode);
    ASSERT_NE(nullptr, request.output);
    std::setvbuf(request.output, outputBuffer, _IOFBF, sizeof outputBuffer);
    TransferResult result;
    verbosity = c.verbosity;
    std::fflush(stderr);
    int savedError = dup(2);
    int nowhere = open("/dev/null", O_WRONLY);
    dup2(nowhere, 2);

    allocations = 0;
    counting = 1;
    int completed = fetchOnce(request, result);
    counting = 0;

    dup2(savedError, 2);
    close(savedError);
    close(nowhere);
    stopFakeServer(server);
    EXPECT_EQ(1, completed) << textOf(result.errorText);
    EXPECT_EQ(0, allocations);
    EXPECT_TRUE(fileBytes(request.output) == body);
    std::fclose(request.output);
    std::remove(path);
}

INSTANTIATE_TEST_SUITE_P(Cases, AttemptAllocations, testing::ValuesIn(kCases), CaseName());

}  // namespace
