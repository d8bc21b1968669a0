// POSIX stand-in: BSD sockets play the part of Windows Sockets 1.1.
// Sockets are non-blocking underneath so that every wait can also watch
// a self-pipe that the interrupt signal writes to; to the layers above,
// the calls still behave as blocking ones.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int lastError = 0;

volatile std::sig_atomic_t interruptPending = 0;
int interruptPipe[2] = {-1, -1};
void (*interruptHandler)() = nullptr;

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

// Windows Sockets' host lookup codes; the error table has no rows for them.
const int kHostNotFound = 11001;
const int kTryAgain = 11002;
const int kNoRecovery = 11003;

int codeForErrno(int errnoValue) {
    for (const ErrnoCode& row : kErrnoCodes) {
        if (row.errnoValue == errnoValue) return row.code;
    }
    return kUnnamedErrorBase + errnoValue;
}

// Records errno as the last socket error. Returns -1 for the caller to pass on.
int failWithErrno() {
    lastError = codeForErrno(errno);
    return -1;
}

void onInterruptSignal(int) {
    int savedErrno = errno;
    interruptPending = 1;
    if (interruptPipe[1] >= 0) {
        char wake = 1;
        ssize_t ignored = write(interruptPipe[1], &wake, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

void runInterruptHandlerIfPending() {
    if (interruptPending && interruptHandler != nullptr) interruptHandler();
}

// Waits until the socket is ready for events or an interrupt arrives.
// Returns 0 when ready, -1 on failure.
int waitForSocket(int socket, short events) {
    for (;;) {
        runInterruptHandlerIfPending();
        pollfd watched[2] = {{socket, events, 0}, {interruptPipe[0], POLLIN, 0}};
        int count = interruptPipe[0] >= 0 ? 2 : 1;
        int ready = poll(watched, static_cast<nfds_t>(count), -1);
        if (ready < 0 && errno != EINTR) return failWithErrno();
        if (ready > 0 && watched[0].revents != 0) return 0;
    }
}

}  // namespace

int startSocketLayer() {
    // Windows Sockets never raises a signal; a peer that closed the
    // connection must make send fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

void stopSocketLayer() {}

int lastSocketError() { return lastError; }

std::uint32_t parseDottedAddress(const char* text) { return inet_addr(text); }

int resolveHostName(const char* name, std::uint32_t* address) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = getaddrinfo(name, nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        lastError = status == EAI_AGAIN ? kTryAgain
                    : status == EAI_FAIL ? kNoRecovery
                                         : kHostNotFound;
        return -1;
    }
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return 0;
}

const char* formatDottedAddress(std::uint32_t address) {
    in_addr value;
    value.s_addr = address;
    return inet_ntoa(value);
}

std::uint16_t hostToNetworkShort(std::uint16_t value) { return htons(value); }
std::uint16_t networkToHostShort(std::uint16_t value) { return ntohs(value); }

SocketHandle openTcpSocket() {
    int handle = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle < 0) {
        failWithErrno();
        return kInvalidSocket;
    }
    return handle;
}

int connectSocket(SocketHandle socket, const Ipv4Address& address) {
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = address.family;
    target.sin_port = address.port;
    target.sin_addr.s_addr = address.address;
    int handle = static_cast<int>(socket);
    if (connect(handle, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return 0;
    if (errno != EINPROGRESS) return failWithErrno();
    if (waitForSocket(handle, POLLOUT) != 0) return -1;
    int pending = 0;
    socklen_t size = sizeof pending;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return failWithErrno();
    // A reset comes only after the handshake, when a blocking connect has
    // already returned; the connection's next call reports the loss.
    if (pending == 0 || pending == ECONNRESET || pending == EPIPE) return 0;
    errno = pending;
    return failWithErrno();
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

void closeSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) close(static_cast<int>(socket));
}

void installInterruptHandler(void (*handler)()) {
    interruptHandler = handler;
    if (interruptPipe[0] < 0 && pipe2(interruptPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        interruptPipe[0] = interruptPipe[1] = -1;
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

int emptyOutputFile(std::FILE* file) {
    if (std::fflush(file) != 0) return -1;
    std::rewind(file);
    return ftruncate(fileno(file), 0);
}
