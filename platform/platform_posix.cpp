// POSIX stand-in: BSD sockets play the part of Windows Sockets 1.1; the
// output file and the body's way into it are in posix_output.cpp.
// Sockets are non-blocking underneath so that every wait can also watch
// a self-pipe that the interrupt signal writes to, and can end after the
// idle limit; to the layers above, the calls still behave as blocking ones.
// (A socket whose body goes straight into the file waits in the kernel for
// at most a moment before that wait: see posix_output.cpp.)
#include "platform/platform.h"
#include "platform/posix_layer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

int lastError = 0;

volatile std::sig_atomic_t interruptPending = 0;
volatile std::sig_atomic_t interruptEndsAtOnce = 0;
int interruptPipe[2] = {-1, -1};
void (*interruptHandler)() = nullptr;
const char* interruptFarewell = "";
int interruptStatus = 1;

// A socket wait that sees nothing for this long fails; 0: never.
int idleLimitMillis = 0;
const int kTimedOutCode = 10060;
// Where the stretch beginDeadline began must end; 0: none.
std::int64_t deadlineMillis = 0;
// One poll waits at most this long; a longer wait takes several.
const std::int64_t kLongestPollMillis = 3600 * 1000;

// After an interrupt a timer ticks, and ends the process when the output
// has taken nothing for kTicksBeforeEnd ticks: a full pipe or a stopped
// terminal that nobody reads would otherwise keep the flow, or the exit's
// own flush, waiting for ever. An output that keeps taking bytes, however
// slowly, is waited for, so nothing it could still take is lost.
volatile std::sig_atomic_t handlerStarted = 0;
volatile std::sig_atomic_t ticksSinceInterrupt = 0;
const long kTickMicros = 100 * 1000;
const int kTicksBeforeEnd = 20;

// The signals that end the run with the bytes kept.
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct ErrnoCode {
    int errnoValue;
    int code;
};

const ErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},        {EBADF, 10009},          {EACCES, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},         {EMFILE, 10024},
    {ENFILE, 10024},       {EWOULDBLOCK, 10035},    {EINPROGRESS, 10036},
    {EALREADY, 10037},     {ENOTSOCK, 10038},       {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},     {EPROTOTYPE, 10041},     {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},   {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},      {ENETUNREACH, 10051},
    {ENETRESET, 10052},    {ECONNABORTED, 10053},   {ECONNRESET, 10054},
    // Windows Sockets reports a send on a connection the peer has
    // dropped as a reset; there is no broken-pipe code.
    {EPIPE, 10054},        {ENOBUFS, 10055},        {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},       {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},      {ECONNREFUSED, 10061},
    {ELOOP, 10062},        {ENAMETOOLONG, 10063},   {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},      {EUSERS, 10068},
    {EDQUOT, 10069},       {ESTALE, 10070},         {EREMOTE, 10071},
};

// Errors that Windows Sockets has no name for keep a code outside its range.
const int kUnnamedErrorBase = 20000;

// Windows Sockets' host lookup codes.
const int kHostNotFound = 11001;
const int kTryAgain = 11002;
const int kNoRecovery = 11003;
const int kNoData = 11004;

// Returns the lookup code for a failed getaddrinfo status.
int lookupCodeFor(int status) {
    if (status == EAI_AGAIN) return kTryAgain;
    if (status == EAI_FAIL) return kNoRecovery;
#ifdef EAI_NODATA
    if (status == EAI_NODATA) return kNoData;
#endif
#ifdef EAI_ADDRFAMILY
    // The name exists, but has no IPv4 address.
    if (status == EAI_ADDRFAMILY) return kNoData;
#endif
    return kHostNotFound;
}

int codeForErrno(int errnoValue) {
    for (const ErrnoCode& row : kErrnoCodes) {
        if (row.errnoValue == errnoValue) return row.code;
    }
    return kUnnamedErrorBase + errnoValue;
}


// Writes the farewell and ends the process; safe inside a signal.
void endWithFarewell() {
    size_t length = std::strlen(interruptFarewell);
    ssize_t ignored = write(2, interruptFarewell, length);
    (void)ignored;
    _exit(interruptStatus);
}

void onWatchdogTick(int) {
    if (++ticksSinceInterrupt < kTicksBeforeEnd) return;
    if (!handlerStarted) endWithFarewell();
    _exit(interruptStatus);
}

void onInterruptSignal(int) {
    if (interruptEndsAtOnce) endWithFarewell();
    // A second request to end, while the first is still writing out, ends
    // the run now.
    if (interruptPending) {
        if (!handlerStarted) endWithFarewell();
        _exit(interruptStatus);
    }
    int savedErrno = errno;
    interruptPending = 1;
    itimerval ticks = {{0, kTickMicros}, {0, kTickMicros}};
    setitimer(ITIMER_REAL, &ticks, nullptr);
    if (interruptPipe[1] >= 0) {
        char wake = 1;
        ssize_t ignored = write(interruptPipe[1], &wake, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

// Raised by the resize signal (and at start) so that the terminal's width
// is asked again, outside the signal, at the next redraw.
volatile std::sig_atomic_t terminalResized = 1;
int knownColumns = 80;

void onResizeSignal(int) { terminalResized = 1; }


// Asked of the kernel directly: the C library's clock_gettime lies far from
// every other call a plain run makes, and its pages would cost more
// resident memory than the system call costs time at a few reads a block.
std::int64_t millisNow() {
    timespec now{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the descriptor is ready for events, an interrupt arrives or
// limitMillis pass (0: no limit). Returns 1 when ready, 0 when the time
// passed, -1 on failure.
int waitForReady(int descriptor, short events, std::int64_t limitMillis) {
    std::int64_t deadline = millisNow() + limitMillis;
    for (;;) {
        runInterruptHandlerIfPending();
        int timeout = -1;
        if (limitMillis > 0) {
            std::int64_t left = deadline - millisNow();
            if (left <= 0) return 0;
            timeout = static_cast<int>(left < kLongestPollMillis ? left : kLongestPollMillis);
        }
        pollfd watched[2] = {{descriptor, events, 0}, {interruptPipe[0], POLLIN, 0}};
        int count = interruptPipe[0] >= 0 && descriptor != interruptPipe[0] ? 2 : 1;
        int ready = poll(watched, static_cast<nfds_t>(count), timeout);
        if (ready < 0 && errno != EINTR) return -1;
        if (ready > 0 && watched[0].revents != 0) return 1;
    }
}


}  // namespace

// Records errno as the last socket error. Returns -1 for the caller to pass on.
int failWithErrno() {
    lastError = codeForErrno(errno);
    return -1;
}

void runInterruptHandlerIfPending() {
    if (!interruptPending || interruptHandler == nullptr) return;
    handlerStarted = 1;
    interruptHandler();
}

// Waits until the socket is ready for events, within the idle limit.
// Returns 0 when ready, -1 on failure or when the limit passed.
int waitForSocket(int socket, short events) {
    std::int64_t limit = idleLimitMillis;
    if (deadlineMillis > 0) {
        std::int64_t left = deadlineMillis - millisNow();
        if (left <= 0) {
            lastError = kTimedOutCode;
            return -1;
        }
        if (limit == 0 || left < limit) limit = left;
    }
    int ready = waitForReady(socket, events, limit);
    if (ready > 0) return 0;
    if (ready < 0) return failWithErrno();
    lastError = kTimedOutCode;
    return -1;
}

// Notes that the output took bytes: the watchdog waits for it again.
void noteOutputMoving() { ticksSinceInterrupt = 0; }

int startSocketLayer() {
    // Windows Sockets never raises a signal; a peer that closed the
    // connection must make send fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

void stopSocketLayer() {}

int lastSocketError() { return lastError; }

// Fills target with the address. Returns the size of the record.
socklen_t fillSocketAddress(const NetAddress& address, sockaddr_storage& target) {
    std::memset(&target, 0, sizeof target);
    if (address.family == kAddressFamilyInet6) {
        sockaddr_in6* place = reinterpret_cast<sockaddr_in6*>(&target);
        place->sin6_family = AF_INET6;
        place->sin6_port = htons(static_cast<std::uint16_t>(address.port));
        std::memcpy(&place->sin6_addr, address.bytes, 16);
        return sizeof(sockaddr_in6);
    }
    sockaddr_in* place = reinterpret_cast<sockaddr_in*>(&target);
    place->sin_family = AF_INET;
    place->sin_port = htons(static_cast<std::uint16_t>(address.port));
    std::memcpy(&place->sin_addr, address.bytes, 4);
    return sizeof(sockaddr_in);
}

int parseNumericAddress(const char* text, int port, AddressList& list) {
    NetAddress& entry = list.entries[0];
    entry = NetAddress();
    entry.port = port;
    // The dotted form first: inet_addr, for the older forms ("127.1"), is
    // code a plain run need not map. Either way 255.255.255.255 is no
    // address here, as for Windows Sockets.
    std::uint32_t dotted = INADDR_NONE;
    if (inet_pton(AF_INET, text, &dotted) != 1) dotted = inet_addr(text);
    if (dotted != INADDR_NONE) {
        entry.family = kAddressFamilyInet;
        std::memcpy(entry.bytes, &dotted, sizeof dotted);
    } else {
        size_t length = std::strlen(text);
        char inside[INET6_ADDRSTRLEN + 1];
        if (text[0] != '[' || length < 3 || length - 2 > INET6_ADDRSTRLEN || text[length - 1] != ']') return 0;
        std::memcpy(inside, text + 1, length - 2);
        inside[length - 2] = '\0';
        if (inet_pton(AF_INET6, inside, entry.bytes) != 1) return 0;
        entry.family = kAddressFamilyInet6;
    }
    list.count = 1;
    return 1;
}

int resolveHostName(const char* name, int port, AddressList& list) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = getaddrinfo(name, nullptr, &hints, &found);
    if (status != 0) {
        lastError = lookupCodeFor(status);
        return -1;
    }
    list.count = 0;
    for (addrinfo* each = found; each != nullptr && list.count < kMostAddresses; each = each->ai_next) {
        NetAddress& entry = list.entries[list.count];
        entry = NetAddress();
        entry.port = port;
        if (each->ai_family == AF_INET) {
            entry.family = kAddressFamilyInet;
            std::memcpy(entry.bytes, &reinterpret_cast<sockaddr_in*>(each->ai_addr)->sin_addr, 4);
        } else if (each->ai_family == AF_INET6) {
            entry.family = kAddressFamilyInet6;
            std::memcpy(entry.bytes, &reinterpret_cast<sockaddr_in6*>(each->ai_addr)->sin6_addr, 16);
        } else {
            continue;
        }
        ++list.count;
    }
    freeaddrinfo(found);
    if (list.count == 0) lastError = kNoData;
    return list.count == 0 ? -1 : 0;
}

const char* formatAddress(const NetAddress& address) {
    static char text[INET6_ADDRSTRLEN];
    int family = address.family == kAddressFamilyInet6 ? AF_INET6 : AF_INET;
    if (inet_ntop(family, address.bytes, text, sizeof text) == nullptr) text[0] = '\0';
    return text;
}

SocketHandle openTcpSocket(const NetAddress& address) {
    int family = address.family == kAddressFamilyInet6 ? AF_INET6 : AF_INET;
    int handle = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle < 0) {
        failWithErrno();
        return kInvalidSocket;
    }
    return handle;
}

int beginConnect(SocketHandle socket, const NetAddress& address) {
    sockaddr_storage target;
    socklen_t targetSize = fillSocketAddress(address, target);
    if (connect(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&target), targetSize) == 0) return 0;
    if (errno != EINPROGRESS) return failWithErrno();
    return 1;
}

int endConnect(SocketHandle socket) {
    int pending = 0;
    socklen_t size = sizeof pending;
    if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return failWithErrno();
    // A reset comes only after the handshake, when a blocking connect has
    // already returned; the connection's next call reports the loss.
    if (pending == 0 || pending == ECONNRESET || pending == EPIPE) return 0;
    errno = pending;
    return failWithErrno();
}

int connectSocket(SocketHandle socket, const NetAddress& address) {
    int begun = beginConnect(socket, address);
    if (begun <= 0) return begun;
    if (waitForSocket(static_cast<int>(socket), POLLOUT) != 0) return -1;
    return endConnect(socket);
}

int sendBytes(SocketHandle socket, const char* bytes, int count) {
    int handle = static_cast<int>(socket);
    int sent = 0;
    while (sent < count) {
        ssize_t result = send(handle, bytes + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL);
        if (result >= 0) {
            sent += static_cast<int>(result);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (waitForSocket(handle, POLLOUT) != 0) return -1;
        } else if (errno != EINTR) {
            return failWithErrno();
        }
    }
    return sent;
}

int receiveBytes(SocketHandle socket, char* block, int capacity) {
    int handle = static_cast<int>(socket);
    for (;;) {
        runInterruptHandlerIfPending();
        ssize_t result = recv(handle, block, static_cast<size_t>(capacity), 0);
        if (result >= 0) return static_cast<int>(result);
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (waitForSocket(handle, POLLIN) != 0) return -1;
        } else if (errno != EINTR) {
            return failWithErrno();
        }
    }
}

namespace {

// The most sockets one wait watches, as Windows Sockets' select allows.
const int kMostWatchedSockets = 64;

// Returns the poll timeout for a wait until deadline (limitMillis negative:
// none), or -2 once the deadline has passed.
int pollTimeout(std::int64_t limitMillis, std::int64_t deadline) {
    if (limitMillis <= 0) return limitMillis == 0 ? 0 : static_cast<int>(kLongestPollMillis);
    std::int64_t left = deadline - millisNow();
    if (left <= 0) return -2;
    return static_cast<int>(left < kLongestPollMillis ? left : kLongestPollMillis);
}

// Sets ready from the sockets' events. Returns the count that is ready;
// a close or a failure counts, so that the read or endConnect meets it.
int markReady(const pollfd* watched, int count, int* ready) {
    int readable = 0;
    for (int index = 0; index < count; ++index) {
        ready[index] = (watched[index].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR | POLLNVAL)) != 0;
        readable += ready[index];
    }
    return readable;
}

}  // namespace

int waitForReadableSockets(const SocketHandle* sockets, const int* forWrite, int count, int* ready,
                           std::int64_t limitMillis) {
    if (count < 0 || count > kMostWatchedSockets) {
        errno = EINVAL;
        return failWithErrno();
    }
    pollfd watched[kMostWatchedSockets + 1];
    for (int index = 0; index < count; ++index) {
        short events = forWrite != nullptr && forWrite[index] ? POLLOUT : POLLIN;
        watched[index] = {static_cast<int>(sockets[index]), events, 0};
        ready[index] = 0;
    }
    watched[count] = {interruptPipe[0], POLLIN, 0};
    nfds_t watchedCount = static_cast<nfds_t>(interruptPipe[0] >= 0 ? count + 1 : count);
    std::int64_t deadline = millisNow() + limitMillis;
    for (;;) {
        runInterruptHandlerIfPending();
        int timeout = pollTimeout(limitMillis, deadline);
        if (timeout == -2) return 0;
        int outcome = poll(watched, watchedCount, timeout);
        if (outcome < 0 && errno != EINTR) return failWithErrno();
        runInterruptHandlerIfPending();
        int readable = outcome > 0 ? markReady(watched, count, ready) : 0;
        if (readable > 0) return readable;
        if (outcome == 0 && limitMillis == 0) return 0;
    }
}

int waitForSocketReady(SocketHandle socket, int forWrite) {
    return waitForSocket(static_cast<int>(socket), forWrite ? POLLOUT : POLLIN);
}

void recordSocketCallFailure() { failWithErrno(); }

void setLastSocketError(int code) { lastError = code; }

void closeSocket(SocketHandle socket) {
    if (socket == kInvalidSocket) return;
    close(static_cast<int>(socket));
    forgetSocketOutput(static_cast<int>(socket));
}

void installInterruptHandler(void (*handler)(), const char* farewell, int status) {
    interruptHandler = handler;
    interruptFarewell = farewell;
    interruptStatus = status;
    if (interruptPipe[0] < 0 && pipe2(interruptPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        interruptPipe[0] = interruptPipe[1] = -1;
    }
    // SA_RESTART: a write the runtime makes must never come back cut
    // short, since the runtime then drops what it held; waits still wake,
    // by the self-pipe. A blocked open happens only while an interrupt
    // ends the process at once.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_flags = SA_RESTART;
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    for (int ending : kEndingSignals) sigaddset(&action.sa_mask, ending);
    for (int ending : kEndingSignals) sigaction(ending, &action, nullptr);
    action.sa_handler = onWatchdogTick;
    sigaction(SIGALRM, &action, nullptr);
}

void setInterruptEndsAtOnce(int atOnce) {
    interruptEndsAtOnce = atOnce;
    if (atOnce && interruptPending) endWithFarewell();
}

void actOnPendingInterrupt() { runInterruptHandlerIfPending(); }

void setIdleLimit(int millis) { idleLimitMillis = millis > 0 ? millis : 0; }

void beginDeadline() { deadlineMillis = idleLimitMillis > 0 ? millisNow() + idleLimitMillis : 0; }

void endDeadline() { deadlineMillis = 0; }

int deadlinePassed() {
    if (deadlineMillis == 0 || millisNow() < deadlineMillis) return 0;
    lastError = kTimedOutCode;
    return 1;
}

void pauseMillis(std::int64_t millis) {
    if (millis <= 0) return;
    // Without the self-pipe the pause still ends, and the handler runs then.
    int descriptor = interruptPipe[0] >= 0 ? interruptPipe[0] : -1;
    waitForReady(descriptor, POLLIN, millis);
    runInterruptHandlerIfPending();
}

int standardErrorIsTerminal() {
    static int answer = -1;
    if (answer < 0) answer = isatty(2) ? 1 : 0;
    return answer;
}

int terminalColumns() {
    static int watching = 0;
    if (!watching) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = onResizeSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGWINCH, &action, nullptr);
        watching = 1;
    }
    if (terminalResized) {
        // Cleared first: a resize during the ioctl is asked again next time.
        terminalResized = 0;
        winsize size;
        knownColumns = ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    }
    return knownColumns;
}

std::int64_t monotonicMillis() { return millisNow(); }
