#include "app/run.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "app/checksum.h"
#include "app/continued_parts.h"
#include "app/netrc.h"
#include "app/parts_run.h"
#include "app/proxy.h"
#include "app/redirects.h"
#include "app/retry.h"
#include "app/server_argument.h"
#include "http/progress_line.h"
#include "http/stored_bytes.h"
#include "http/transfer.h"
#include "platform/platform.h"
#include "platform/tls.h"
#include "support/log.h"
#include "support/socket_errors.h"

namespace {

const int kStatusDone = 0;
const int kStatusUsage = 1;
const int kStatusNoServer = 2;
const int kStatusRefused = 3;
const int kStatusFileFailed = 4;
const int kStatusTlsRefused = 5;
const int kStatusRedirectRefused = 6;
const int kStatusRetried = 10;
const int kStatusInterrupted = 99;

bool socketsStarted = false;

// Received blocks are up to 16 KiB; the buffer turns them into fewer,
// larger file writes (the runtime's own 4 KiB buffer splits each block in
// two). Measured for 1 GiB to disk: 64 KiB took 0.56 of the time that
// 256 KiB took, and 32 to 64 KiB were within noise of each other. Blocks
// that the kernel moves straight into the file do not pass through it.
// Static, so the transfer never allocates it.
char outputBuffer[64 * 1024];

void onInterrupt() {
    savePartsBeforeExit();
    endActiveProgress();  // on a line of its own, after the last count
    logAt(1, "INTERRUPT\n");
    finishRun();
    std::exit(kStatusInterrupted);  // the runtime flushes and closes the file
}

// What onInterrupt writes at the verbosity of the run, for the platform to
// write itself where the handler cannot run.
const char* interruptFarewell() {
    if (verbosity >= 9) return "INTERRUPT\nCleaning up...\n";
    return verbosity >= 1 ? "INTERRUPT\n" : "";
}

const std::int64_t kMillisPerSecond = 1000;

// The plan read from the state file and the hand-over to the parts, one of
// each a run, at file scope: the hand-over holds a receive block, too big
// for the stack, and a function-local static of a type with a destructor
// is guarded, which pulls the C++ runtime into every run.
PartsState continuedPlan;
PartsHandOver partsHandOver;

// Reads the proxies the environment names. Returns 1, or 0 after the
// level-1 line of a value that cannot be used.
int takeProxies(TransferRequest& request) {
    BoundedString problem;
    if (!readProxyFromEnvironment(0, request.httpProxy, problem) ||
        !readProxyFromEnvironment(1, request.httpsProxy, problem)) {
        logAt(1, "%s", textOf(problem));
        return 0;
    }
    // Lines about ignored entries, or the line that ends the run.
    int taken = readProxyExceptions(request.proxyExceptions, problem);
    logAt(1, "%s", textOf(problem));
    return taken;
}

// Keeps the address the run starts at, as it was routed, for attempts
// that start the chain afresh.
void keepAsOrigin(TransferRequest& request) {
    TargetAddress& origin = request.origin;
    origin.secure = request.secure;
    origin.host = request.host;
    origin.port = request.port;
    origin.path = request.path;
    origin.addresses = request.addresses;
    origin.viaProxy = request.viaProxy;
}

// Takes the server argument apart. Returns 1, or 0 after the level-1 line
// of a bad one or the usage text for a URL path next to a third positional.
int takeServerArgument(const CommandLine& commandLine, ServerArgument& server) {
    BoundedString problem;
    if (!parseServerArgument(commandLine.server, server, problem)) {
        logAt(1, "%s", textOf(problem));
        return 0;
    }
    if (server.path.length > 0 && commandLine.positionalCount == 3) {
        printUsage();
        return 0;
    }
    if (server.path.length == 0 &&
        !takeRequestPath(commandLine.path, static_cast<int>(std::strlen(commandLine.path)), server.path, problem)) {
        logAt(1, "%s", textOf(problem));
        return 0;
    }
    // An empty path names nothing on the server: the root is meant.
    if (server.path.length == 0) assignText(server.path, "/");
    return 1;
}

// Loads TLS before anything is touched. Returns 1, or 0 after the
// level-1 line that says why https cannot be used.
int tlsReady() {
    BoundedString problem;
    if (tlsAvailable(problem)) return 1;
    logAt(1, "%s", textOf(problem));
    return 0;
}

void printSummary(const TransferResult& result) {
    if (result.replyStatus != -1) logAt(5, "Reply status: %d\n", result.replyStatus);
    if (result.rangeResolution != 0) logAt(5, "Ranges accepted: resolution=%d\n", result.rangeResolution);
    if (result.contentLength == -1) {
        logAt(5, "Content length: Unknown\n");
    } else {
        logAt(5, "Content length: %" PRId64 "\n", result.contentLength);
    }
    logAt(5, "Header bytes received: %" PRId64 "\n", result.headerBytes);
    logAt(5, "Body bytes received: %" PRId64 "\n", result.bodyBytes);
}

// Ends the run on an outcome that no retry follows. Returns the exit status.
int endWithoutRetry(TransferRequest& request, const TransferResult& result) {
    logAt(1, "%s", textOf(result.errorText));
    if (result.stage == stageWriteFile) {
        std::fclose(request.output);
        return kStatusFileFailed;
    }
    if (!closeOutput(request.output)) return kStatusFileFailed;
    if (result.stage == stageRedirectRefused) return kStatusRedirectRefused;
    return result.stage == stageTlsRefused ? kStatusTlsRefused : kStatusRefused;
}

// Says that a continued file needed nothing more from the server.
void sayFileComplete() { logAt(3, "The file is complete already: nothing to fetch\n"); }

// Removes the state file of a file that is whole. Returns 1, or 0 after
// the level-1 line.
int forgetState(const TransferRequest& request) {
    if (request.handOver == nullptr || request.handOver->stateFile.length == 0) return 1;
    if (removeFileIfPresent(textOf(request.handOver->stateFile)) == 0) return 1;
    logAt(1, "remove: %s\n", std::strerror(errno));
    return 0;
}

// Returns 1 when the attempt handed its reply to the loop of parts.
int handedToParts(const TransferRequest& request) {
    return request.handOver != nullptr && request.handOver->takenOver;
}

// Fetches the rest of the file in parts for as long as replies are handed
// over: a file that changed meanwhile is started over and split again.
// Sets retried when any part or restart needed a retry.
void fetchHandedOver(TransferRequest& request, TransferResult& result, RetryPauses& pauses, PartsSettings& parts,
                     int& retried) {
    while (handedToParts(request)) {
        int partsRetried = 0;
        int outcome = fetchInParts(request, result, parts, partsRetried);
        request.handOver->plan = nullptr;  // a state file plans the first hand-over only
        if (partsRetried || outcome == partsFileChanged) retried = 1;
        // The new version replaces the file once its first byte comes.
        if (outcome != partsFileChanged) return;
        pauses.lastGain = 0;
        retryTransfer(request, result, pauses);
    }
}

// Runs the first attempt and any retries, and the parts a reply was
// split into. Returns the exit status.
int transfer(TransferRequest& request, RetryPauses& pauses, PartsSettings& parts) {
    TransferResult result;
    if (request.kind == attemptResume && storedBytesComplete(request.stored)) {
        sayFileComplete();
        int forgotten = forgetState(request);
        return closeOutput(request.output) && forgotten ? kStatusDone : kStatusFileFailed;
    }
    std::int64_t before = request.stored.count;
    int firstCompleted = fetchFollowing(request, result);
    if (!firstCompleted && !stageEndsRun(result.stage)) {
        pauses.lastGain = request.stored.count - before;
        retryTransfer(request, result, pauses);
    }
    int retried = !firstCompleted;
    fetchHandedOver(request, result, pauses, parts, retried);
    // A server that stayed busy refused the request as surely as a 404 does.
    if (stageEndsRun(result.stage) || result.stage == stageServerBusy) return endWithoutRetry(request, result);
    // With -f, an error status that the redirect or resume rules refused
    // shows too when it ended the last attempt.
    if (request.failOnError && result.stage != stageCompleted && result.replyStatus >= 400) {
        logAt(1, "%s", textOf(result.errorText));
    }
    // A tail that cannot be written is lost data, whatever else happened.
    if (!closeOutput(request.output)) return kStatusFileFailed;
    if (firstCompleted && request.kind == attemptResume && result.replyStatus == 416) sayFileComplete();
    if (!request.headersOnly && result.stage == stageCompleted) {
        if (!forgetState(request)) return kStatusFileFailed;
        showClosingLine(request.stored.count);
    }
    if (retried) return kStatusRetried + result.stage;
    printSummary(result);
    return kStatusDone;
}

// Opens the local file. A regular file keeps its bytes, with -c or not,
// until a reply's body replaces them; anything else is opened for writing
// as it is. Returns the stream, or null with errno set.
std::FILE* openOutput(const CommandLine& commandLine) {
    const char* name = textOf(commandLine.localFile);
    // Only a regular file is opened for reading too: a pipe opened so
    // would count a writer that comes and goes.
    if (fileNameKind(name, 1) == fileNameRegular) {
        std::FILE* kept = openStream(name, "r+b");
        if (kept != nullptr && regularFileSize(kept) >= 0) return kept;
        if (kept != nullptr) std::fclose(kept);
        if (kept == nullptr && commandLine.continueFile && errno != ENOENT) return nullptr;
    }
    return openStream(name, "wb");
}

// Returns 1 when a kept file of this size can be the start of the asked
// range: it must not hold more than the range.
int keptFileFitsRange(const TransferRequest& request, std::int64_t size) {
    std::int64_t first = request.askedFirst >= 0 ? request.askedFirst : 0;
    if (first > kLargestByteCount) return 0;
    return request.askedLast < 0 || (request.askedLast >= first && size <= request.askedLast - first + 1);
}

// Names the state file beside a regular output, unless that output is a
// device or the name cannot be a file's (taken by a directory, link, pipe
// or device, or too long): nothing is ever opened or replaced there. The
// reason is kept for the line of -s.
void nameStateFile(const CommandLine& commandLine, PartsHandOver& handOver) {
    partsStateName(textOf(commandLine.localFile), handOver.stateFile);
    if (handOver.stateFile.length == 0) {
        assignText(handOver.stateProblem, "the output is a device, which gets no state file");
    } else if (fileNameKind(textOf(handOver.stateFile), 0) == fileNameOther) {
        assignText(handOver.stateProblem, "no state file can be kept: its name is taken or too long");
        assignText(handOver.stateFile, "");
    }
}

// With -c, readies the first request to continue the kept file from
// what its state file, or else its size, proves. Returns 0, or the exit
// status after the level-1 line.
int continueOutput(TransferRequest& request) {
    std::int64_t size = regularFileSize(request.output);
    if (size <= 0) return 0;  // nothing to continue: as without -c
    if (!keptFileFitsRange(request, size)) {
        logAt(1, "The local file holds more than the asked range: nothing to continue\n");
        return kStatusUsage;
    }
    int decision = request.handOver->stateFile.length > 0 ? continueFromState(request, size, continuedPlan)
                                                           : continueFromSize;
    if (decision == continueFromSize) continueKeptBytes(request, size);
    return 0;
}

// Opens the output and, with -c, readies the first request to continue
// it. Returns 0, or the exit status after the level-1 line.
int prepareOutput(const CommandLine& commandLine, TransferRequest& request) {
    request.output = openOutput(commandLine);
    if (request.output == nullptr) {
        int openError = errno;  // before any other call can change it
        logAt(1, "fopen: %s\n", std::strerror(openError));
        return kStatusFileFailed;
    }
    std::setvbuf(request.output, outputBuffer, _IOFBF, sizeof outputBuffer);
    if (regularFileSize(request.output) < 0) return 0;
    nameStateFile(commandLine, *request.handOver);
    if (!commandLine.continueFile || request.headersOnly) return 0;
    int status = continueOutput(request);
    if (status != 0) std::fclose(request.output);
    return status;
}

}  // namespace

int startSockets() {
    if (startSocketLayer() != 0) {
        logAt(1, "Error initialising windows sockets\n");
        return 1;
    }
    socketsStarted = true;
    return 0;
}

void stopSockets() {
    if (!socketsStarted) return;
    stopSocketLayer();
    socketsStarted = false;
}

void finishRun() {
    logAt(9, "Cleaning up...\n");
    stopSockets();
}

int closeOutput(std::FILE* output) {
    const char* failedCall = nullptr;
    int failure = 0;
    if (std::fflush(output) != 0) {
        failedCall = "fflush";
        failure = errno;
    }
    if (std::fclose(output) != 0 && failedCall == nullptr) {
        failedCall = "fclose";
        failure = errno;
    }
    if (failedCall == nullptr) return 1;
    logAt(1, "%s: %s\n", failedCall, std::strerror(failure));
    return 0;
}

int runCommandLine(const CommandLine& commandLine) {
    if (refusePositionals(commandLine)) return kStatusUsage;
    if (commandLine.rangeProblem.length > 0) {
        logAt(1, "%s", textOf(commandLine.rangeProblem));
        return kStatusUsage;
    }
    ServerArgument server;
    if (!takeServerArgument(commandLine, server)) return kStatusUsage;
    if (server.login.length == 0 && !takeNetrcLogin(textOf(server.host), server.login)) return kStatusUsage;
    if (server.secure && !tlsReady()) return kStatusUsage;
    if (!checksumReady(commandLine)) return kStatusUsage;
    TransferRequest request;
    if (!takeProxies(request)) return kStatusUsage;
    installInterruptHandler(onInterrupt, interruptFarewell(), kStatusInterrupted);
    // Until the output is open there is nothing to keep, and the lookup and
    // the open may wait in calls that never see the interrupt.
    setInterruptEndsAtOnce(1);
    if (startSockets() != 0) return kStatusUsage;
    setIdleLimit(commandLine.idleLimitSeconds * static_cast<int>(kMillisPerSecond));
    request.secure = server.secure;
    request.host = server.host;
    request.port = server.port;
    request.path = server.path;
    request.login = server.login;
    if (!routeRequest(request)) {
        reportLookupFailure("GetHostByName");
        finishRun();
        return kStatusNoServer;
    }
    request.headersOnly = commandLine.headersOnly;
    keepAsOrigin(request);
    request.keepsFile = commandLine.continueFile;
    request.acceptAnyCertificate = commandLine.acceptAnyCertificate;
    request.rangeFirst = commandLine.rangeFirst;
    request.rangeLast = commandLine.rangeLast;
    request.askedFirst = commandLine.rangeFirst;
    request.askedLast = commandLine.rangeLast;
    request.failOnError = commandLine.failOnError;
    partsHandOver.connections = commandLine.connections;
    request.handOver = &partsHandOver;
    PartsSettings parts;
    parts.idleLimitMillis = commandLine.idleLimitSeconds * kMillisPerSecond;
    parts.firstPauseMillis = commandLine.firstPauseSeconds * kMillisPerSecond;
    composeAddress(request, partsHandOver.address);
    int failed = prepareOutput(commandLine, request);
    if (failed == 0 && (failed = prepareChecksum(commandLine, request)) != 0) std::fclose(request.output);
    if (failed != 0) {
        finishRun();
        return failed;
    }
    setInterruptEndsAtOnce(0);
    RetryPauses pauses;
    pauses.firstMillis = commandLine.firstPauseSeconds * kMillisPerSecond;
    int status = checkChecksum(commandLine, request, transfer(request, pauses, parts));
    finishRun();
    return status;
}
