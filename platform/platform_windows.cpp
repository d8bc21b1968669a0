// Windows Sockets 1.1 and the C runtime (msvcrt) on 32-bit Windows.
//
// Ctrl+C: the runtime runs a SIGINT handler on a thread of its own, which
// the console creates for the event, while the main thread may be inside
// recv, inside fwrite holding the output file's lock, or half way through
// a log line. Stopping the socket layer or calling exit from that thread
// would race the main thread: a recv failing under it would be reported
// and retried, and exit would flush a file that is still being written.
// So the signal thread only raises a flag; the main thread notices it at
// its next socket call or while waiting for one, and there runs the
// program's handler (log, stop the socket layer, exit 99 with the file
// flushed by the runtime). To make every wait notice the flag, sockets are
// non-blocking underneath and each wait is a select with a short timeout;
// to the layers above, the calls still behave as blocking ones.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <io.h>

#include "platform/platform.h"

namespace {

// How long one wait lasts before the interrupt flag is looked at again.
const long kWaitSliceMicros = 50000;

int lastError = 0;

std::atomic<int> interruptPending(0);
void (*interruptHandler)() = nullptr;

// Records the platform's code for the call that just failed. Returns -1.
int failWithLastError() {
    lastError = WSAGetLastError();
    return -1;
}

void onInterruptSignal(int) {
    interruptPending.store(1);
    // The runtime resets the handler before calling it; a second Ctrl+C
    // before the main thread gets here must not kill the process unflushed.
    std::signal(SIGINT, onInterruptSignal);
}

void runInterruptHandlerIfPending() {
    if (interruptPending.load() && interruptHandler != nullptr) interruptHandler();
}

// Waits until the socket is ready to be read (or written, when forWriting)
// or a connect on it failed. Returns 0 when ready, -1 on failure.
int waitForSocket(SOCKET socket, bool forWriting) {
    for (;;) {
        runInterruptHandlerIfPending();
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(socket, &ready);
        FD_SET(socket, &failed);
        timeval slice = {0, kWaitSliceMicros};
        // The first argument is ignored by Windows Sockets.
        int count = select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, &failed, &slice);
        if (count == SOCKET_ERROR) return failWithLastError();
        if (count > 0) return 0;
    }
}

// Returns the error a failed non-blocking connect left on the socket.
int pendingConnectError(SOCKET socket) {
    int pending = 0;
    int size = sizeof pending;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) != 0) {
        return WSAGetLastError();
    }
    return pending;
}

}  // namespace

int startSocketLayer() {
    WSADATA description;
    return WSAStartup(0x0101, &description);
}

void stopSocketLayer() { WSACleanup(); }

int lastSocketError() { return lastError; }

std::uint32_t parseDottedAddress(const char* text) { return inet_addr(text); }

int resolveHostName(const char* name, std::uint32_t* address) {
    hostent* entry = gethostbyname(name);
    if (entry == nullptr) return failWithLastError();
    if (entry->h_addr_list[0] == nullptr || entry->h_length != sizeof *address) {
        lastError = WSANO_DATA;
        return -1;
    }
    std::memcpy(address, entry->h_addr_list[0], sizeof *address);
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
    SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        failWithLastError();
        return kInvalidSocket;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
        failWithLastError();
        closesocket(handle);
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(handle);
}

int connectSocket(SocketHandle socket, const Ipv4Address& address) {
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = static_cast<short>(address.family);
    target.sin_port = address.port;
    target.sin_addr.s_addr = address.address;
    SOCKET handle = static_cast<SOCKET>(socket);
    if (connect(handle, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return 0;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return failWithLastError();
    if (waitForSocket(handle, true) != 0) return -1;
    // A refused or failed connect shows as "ready" through the failure set.
    int pending = pendingConnectError(handle);
    if (pending == 0) return 0;
    lastError = pending;
    return -1;
}

int sendBytes(SocketHandle socket, const char* bytes, int count) {
    SOCKET handle = static_cast<SOCKET>(socket);
    int sent = 0;
    while (sent < count) {
        runInterruptHandlerIfPending();
        int result = send(handle, bytes + sent, count - sent, 0);
        if (result != SOCKET_ERROR) {
            sent += result;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            if (waitForSocket(handle, true) != 0) return -1;
        } else {
            return failWithLastError();
        }
    }
    return sent;
}

int receiveBytes(SocketHandle socket, char* block, int capacity) {
    SOCKET handle = static_cast<SOCKET>(socket);
    for (;;) {
        runInterruptHandlerIfPending();
        int result = recv(handle, block, capacity, 0);
        if (result != SOCKET_ERROR) return result;
        if (WSAGetLastError() != WSAEWOULDBLOCK) return failWithLastError();
        if (waitForSocket(handle, false) != 0) return -1;
    }
}

void closeSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) closesocket(static_cast<SOCKET>(socket));
}

void installInterruptHandler(void (*handler)()) {
    interruptHandler = handler;
    std::signal(SIGINT, onInterruptSignal);
}

int emptyOutputFile(std::FILE* file) {
    if (std::fflush(file) != 0) return -1;
    std::rewind(file);
    return _chsize(_fileno(file), 0);
}

// Windows has no call that moves socket bytes into a file without passing
// them through the program; the plain receive path is the only one.
int moveSocketBytesToFile(SocketHandle, std::FILE*, int, int& written) {
    written = 0;
    return kMoveUnavailable;
}

// Only a console counts: the runtime's isatty also says yes for NUL.
int standardErrorIsTerminal() {
    static int answer = -1;
    DWORD mode = 0;
    if (answer < 0) answer = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? 1 : 0;
    return answer;
}

std::int64_t monotonicMillis() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    std::int64_t ticksPerSecond = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    return counter.QuadPart / ticksPerSecond * 1000 + counter.QuadPart % ticksPerSecond * 1000 / ticksPerSecond;
}
