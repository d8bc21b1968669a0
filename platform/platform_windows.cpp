// Windows Sockets 1.1 and the C runtime (msvcrt) on 32-bit Windows; the
// output file and files by name are in windows_output.cpp.
//
// Ctrl+C: the runtime runs the SIGINT handler on a thread of its own, made
// for the console event, while the main thread may be inside recv, inside
// fwrite holding the output file's lock, or half way through a log line.
// Stopping the socket layer or calling exit from that thread would race
// the main thread: a recv failing under it would be reported and retried,
// and exit would flush a file that is still being written. So the signal
// thread only raises a flag and closes the socket of the attempt in
// progress, which ends a blocking call on it at once; the main thread
// looks at the flag after every socket call and, when it is up, runs the
// program's handler there (log, stop the socket layer, exit 99 with the
// file flushed by the runtime). A socket call first waits in select, in
// short steps that look at the flag, for as long as the idle limit allows;
// the call itself then does not block, and its results and error codes
// stay the platform's own.
//
// Ctrl+Break and the closing console window come through a console control
// handler of the program's own and take the same road. Where the main
// thread cannot get to the flag (inside the host lookup, or in a write to
// an output nobody reads) a watchdog thread ends the process with status
// 99 after writing the handler's text itself: at once while no output is
// open, otherwise after a grace period.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/platform.h"

namespace {

int lastError = 0;

std::atomic<int> interruptPending(0);
std::atomic<int> signalThreadDone(0);
std::atomic<int> handlerStarted(0);
std::atomic<int> interruptEndsAtOnce(0);
std::atomic<int> watchdogStarted(0);
void (*interruptHandler)() = nullptr;
const char* interruptFarewell = "";
int interruptStatus = 1;

// A socket wait that sees nothing for this long fails; 0: never.
int idleLimitMillis = 0;
// Waits look at the interrupt flag at least this often.
const std::int64_t kStepMillis = 50;
// Where the stretch beginDeadline began must end; 0: none.
std::int64_t deadlineMillis = 0;
// How long the main thread has to act on an interrupt before the watchdog
// ends the process.
const DWORD kGraceMillis = 2000;
// Once the handler runs, its exit writes out the buffered bytes: a slow
// output is given this long before the process is ended without them.
const DWORD kFlushGraceMillis = 10000;
// The system ends the process this long after a closing console window's
// event (5 s); the handler holds it back meanwhile.
const DWORD kCloseHoldMillis = 4500;

// The socket of the attempt in progress. Whoever takes it out (the main
// thread to close it, or the signal thread) is the one that closes it, so
// a handle is never closed twice, nor a reused one by mistake.
std::atomic<SOCKET> activeSocket(INVALID_SOCKET);

// The runtime buffers standard error fully when it is not a console; the
// log must reach a pipe or file line by line, as it is written.
const int kStandardErrorUnbuffered = std::setvbuf(stderr, nullptr, _IONBF, 0);

// Waits, bounded, until the console-event thread has left its calls:
// ending the process while it is inside them has been seen to get the
// whole process killed (under Wine).
void waitForSignalThread() {
    for (int waited = 0; !signalThreadDone.load() && waited < 500; ++waited) Sleep(1);
    Sleep(10);
}

// Ends the process without the runtime's exit, which would flush into an
// output that may never take the bytes.
void endProcessNow() { TerminateProcess(GetCurrentProcess(), static_cast<UINT>(interruptStatus)); }

DWORD WINAPI watchInterrupt(LPVOID) {
    waitForSignalThread();
    if (!interruptEndsAtOnce.load()) {
        for (DWORD waited = 0; !handlerStarted.load() && waited < kGraceMillis; waited += 10) Sleep(10);
    }
    if (handlerStarted.load()) {
        Sleep(kFlushGraceMillis);  // the handler's exit got stuck flushing
    } else {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), interruptFarewell,
                  static_cast<DWORD>(std::strlen(interruptFarewell)), &written, nullptr);
    }
    endProcessNow();
    return 0;
}

// Raises the flag for the main thread, ends a wait on the socket of the
// attempt in progress and starts the watchdog.
void raiseInterrupt() {
    interruptPending.store(1);
    SOCKET socket = activeSocket.exchange(INVALID_SOCKET);
    if (socket != INVALID_SOCKET) closesocket(socket);
    if (watchdogStarted.exchange(1) == 0) {
        HANDLE thread = CreateThread(nullptr, 0, watchInterrupt, nullptr, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
}

void onInterruptSignal(int) {
    raiseInterrupt();
    // The runtime resets the handler before calling it; a second Ctrl+C
    // before the main thread gets to the flag must not kill the process
    // with the file unflushed.
    std::signal(SIGINT, onInterruptSignal);
    signalThreadDone.store(1);
}

// Ctrl+C goes on to the runtime, which calls onInterruptSignal; the other
// events that end a console program are taken here.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT) return FALSE;
    raiseInterrupt();
    signalThreadDone.store(1);
    // When this returns after a closing window, the system ends the process
    // at once; the main thread needs the time to store the bytes.
    if (event != CTRL_BREAK_EVENT) Sleep(kCloseHoldMillis);
    return TRUE;
}

void runInterruptHandlerIfPending() {
    if (!interruptPending.load() || interruptHandler == nullptr) return;
    waitForSignalThread();
    // With no output open the watchdog ends the process itself; running the
    // handler as well would write its text twice. Should it not, go on.
    if (interruptEndsAtOnce.load()) Sleep(kGraceMillis);
    handlerStarted.store(1);
    interruptHandler();
}

// Ends every socket call: records the platform's code when the call
// failed, then runs the interrupt handler when Ctrl+C came (the call may
// have failed only because the signal thread closed its socket). Returns
// -1 when the call failed, 0 otherwise.
int finishCall(bool failed) {
    if (failed) lastError = WSAGetLastError();
    runInterruptHandlerIfPending();
    return failed ? -1 : 0;
}

// Returns the length of the next wait step, or 0 when the idle limit,
// counted from startedAt, or the stretch's deadline has passed.
std::int64_t nextStepMillis(std::int64_t startedAt) {
    std::int64_t now = monotonicMillis();
    std::int64_t left = kStepMillis;
    if (idleLimitMillis > 0) left = startedAt + idleLimitMillis - now;
    if (deadlineMillis > 0 && deadlineMillis - now < left) left = deadlineMillis - now;
    if (left <= 0) return 0;
    return left < kStepMillis ? left : kStepMillis;
}

// Waits until the socket is readable (writable when forWrite is set; a
// connect in progress that failed also ends the wait), within the idle
// limit. Returns 0 when ready, -1 on failure or when the limit passed
// (the timed-out code).
int waitForSocket(SOCKET socket, int forWrite) {
    std::int64_t startedAt = monotonicMillis();
    for (;;) {
        runInterruptHandlerIfPending();
        std::int64_t step = nextStepMillis(startedAt);
        if (step == 0) {
            lastError = WSAETIMEDOUT;
            return -1;
        }
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_SET(socket, &ready);
        FD_ZERO(&failed);
        FD_SET(socket, &failed);
        timeval timeout = {static_cast<long>(step / 1000), static_cast<long>(step % 1000 * 1000)};
        int count = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &timeout);
        if (count == SOCKET_ERROR) return finishCall(true);
        if (count > 0) return 0;
    }
}

// Turns the socket's non-blocking mode on or off. Returns 0, or -1 with
// the last error set.
int setNonBlocking(SOCKET socket, u_long nonBlocking) {
    return finishCall(ioctlsocket(socket, FIONBIO, &nonBlocking) == SOCKET_ERROR);
}

}  // namespace

int startSocketLayer() {
    WSADATA description;
    return WSAStartup(0x0101, &description);
}

void stopSocketLayer() { WSACleanup(); }

int lastSocketError() { return lastError; }

// Windows Sockets 1.1 knows IPv4 alone: a bracketed address never gets
// here, since the server argument refuses it.
int parseNumericAddress(const char* text, int port, AddressList& list) {
    std::uint32_t dotted = inet_addr(text);
    if (dotted == INADDR_NONE) return 0;
    list.entries[0] = NetAddress();
    list.entries[0].family = kAddressFamilyInet;
    list.entries[0].port = port;
    std::memcpy(list.entries[0].bytes, &dotted, sizeof dotted);
    list.count = 1;
    return 1;
}

int resolveHostName(const char* name, int port, AddressList& list) {
    hostent* entry = gethostbyname(name);
    if (finishCall(entry == nullptr) != 0) return -1;
    list.count = 0;
    if (entry->h_length == 4) {
        for (; list.count < kMostAddresses && entry->h_addr_list[list.count] != nullptr; ++list.count) {
            list.entries[list.count] = NetAddress();
            list.entries[list.count].family = kAddressFamilyInet;
            list.entries[list.count].port = port;
            std::memcpy(list.entries[list.count].bytes, entry->h_addr_list[list.count], 4);
        }
    }
    if (list.count == 0) lastError = WSANO_DATA;
    return list.count == 0 ? -1 : 0;
}

const char* formatAddress(const NetAddress& address) {
    in_addr value;
    std::memcpy(&value.s_addr, address.bytes, sizeof value.s_addr);
    return inet_ntoa(value);
}

SocketHandle openTcpSocket(const NetAddress&) {
    SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        finishCall(true);
        return kInvalidSocket;
    }
    // Registered before the flag is looked at: a Ctrl+C that came just
    // before found no socket to close, and is seen here instead.
    activeSocket.store(handle);
    finishCall(false);
    return static_cast<SocketHandle>(handle);
}

int beginConnect(SocketHandle socket, const NetAddress& address) {
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<u_short>(address.port));
    std::memcpy(&target.sin_addr.s_addr, address.bytes, sizeof target.sin_addr.s_addr);
    SOCKET handle = static_cast<SOCKET>(socket);
    // Non-blocking only while connecting: every later call waits in select
    // first, and that wait has the limit.
    if (setNonBlocking(handle, 1) != 0) return -1;
    if (connect(handle, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return setNonBlocking(handle, 0);
    if (WSAGetLastError() != WSAEWOULDBLOCK) return finishCall(true);
    return finishCall(false) == 0 ? 1 : -1;
}

int endConnect(SocketHandle socket) {
    SOCKET handle = static_cast<SOCKET>(socket);
    int pending = 0;
    int size = sizeof pending;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) == SOCKET_ERROR) {
        return finishCall(true);
    }
    if (pending == 0) return setNonBlocking(handle, 0);
    lastError = pending;
    runInterruptHandlerIfPending();
    return -1;
}

int connectSocket(SocketHandle socket, const NetAddress& address) {
    int begun = beginConnect(socket, address);
    if (begun <= 0) return begun;
    if (waitForSocket(static_cast<SOCKET>(socket), 1) != 0) return -1;
    return endConnect(socket);
}

int sendBytes(SocketHandle socket, const char* bytes, int count) {
    int sent = 0;
    while (sent < count) {
        if (waitForSocket(static_cast<SOCKET>(socket), 1) != 0) return -1;
        int result = send(static_cast<SOCKET>(socket), bytes + sent, count - sent, 0);
        if (finishCall(result == SOCKET_ERROR) != 0) return -1;
        sent += result;
    }
    return sent;
}

int receiveBytes(SocketHandle socket, char* block, int capacity) {
    if (waitForSocket(static_cast<SOCKET>(socket), 0) != 0) return -1;
    int result = recv(static_cast<SOCKET>(socket), block, capacity, 0);
    if (finishCall(result == SOCKET_ERROR) != 0) return -1;
    return result;
}

namespace {

// Returns the length of the next step of a wait that ends at deadline
// (limitMillis negative: never; 0: at once), or -1 once it has passed.
std::int64_t nextReadableStep(std::int64_t limitMillis, std::int64_t deadline) {
    if (limitMillis <= 0) return limitMillis == 0 ? 0 : kStepMillis;
    std::int64_t left = deadline - monotonicMillis();
    if (left <= 0) return -1;
    return left < kStepMillis ? left : kStepMillis;
}

// Sets ready from what select left in the sets. Returns the count that is
// ready; a failed socket (a failed connect among them) counts, so that the
// read or endConnect meets the failure.
int markReady(const SocketHandle* sockets, int count, int* ready, fd_set* sets) {
    int found = 0;
    for (int index = 0; index < count; ++index) {
        SOCKET socket = static_cast<SOCKET>(sockets[index]);
        ready[index] = FD_ISSET(socket, &sets[0]) || FD_ISSET(socket, &sets[1]) || FD_ISSET(socket, &sets[2]) ? 1 : 0;
        found += ready[index];
    }
    return found;
}

// Fills the sets select takes: readable, writable, failed. Returns 1 when
// the writable set holds any socket.
int fillWaitSets(const SocketHandle* sockets, const int* forWrite, int count, fd_set* sets) {
    for (int set = 0; set < 3; ++set) FD_ZERO(&sets[set]);
    int writing = 0;
    for (int index = 0; index < count; ++index) {
        int write = forWrite != nullptr && forWrite[index];
        FD_SET(static_cast<SOCKET>(sockets[index]), &sets[write ? 1 : 0]);
        FD_SET(static_cast<SOCKET>(sockets[index]), &sets[2]);
        writing |= write;
    }
    return writing;
}

}  // namespace

int waitForReadableSockets(const SocketHandle* sockets, const int* forWrite, int count, int* ready,
                           std::int64_t limitMillis) {
    if (count < 0 || count > FD_SETSIZE) {
        lastError = WSAEINVAL;
        return -1;
    }
    for (int index = 0; index < count; ++index) ready[index] = 0;
    std::int64_t deadline = monotonicMillis() + limitMillis;
    for (;;) {
        runInterruptHandlerIfPending();
        std::int64_t step = nextReadableStep(limitMillis, deadline);
        if (step < 0) return 0;
        if (count == 0) {  // select refuses empty sets
            Sleep(static_cast<DWORD>(step));
            if (limitMillis == 0) return 0;
            continue;
        }
        fd_set sets[3];
        int writing = fillWaitSets(sockets, forWrite, count, sets);
        timeval timeout = {static_cast<long>(step / 1000), static_cast<long>(step % 1000 * 1000)};
        int outcome = select(0, &sets[0], writing ? &sets[1] : nullptr, &sets[2], &timeout);
        if (finishCall(outcome == SOCKET_ERROR) != 0) return -1;
        if (outcome > 0) return markReady(sockets, count, ready, sets);
        if (limitMillis == 0) return 0;
    }
}

int waitForSocketReady(SocketHandle socket, int forWrite) {
    return waitForSocket(static_cast<SOCKET>(socket), forWrite);
}

void recordSocketCallFailure() { finishCall(true); }

void setLastSocketError(int code) { lastError = code; }

void closeSocket(SocketHandle socket) {
    if (socket == kInvalidSocket) return;
    SOCKET handle = static_cast<SOCKET>(socket);
    SOCKET registered = handle;
    // When the signal thread took it, it has closed it already.
    if (activeSocket.compare_exchange_strong(registered, INVALID_SOCKET) || registered != INVALID_SOCKET) {
        closesocket(handle);
    }
}

void installInterruptHandler(void (*handler)(), const char* farewell, int status) {
    interruptHandler = handler;
    interruptFarewell = farewell;
    interruptStatus = status;
    std::signal(SIGINT, onInterruptSignal);
    // Handlers are asked last-registered first: this one sees every event
    // before the runtime's, and passes Ctrl+C on to it.
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

// The watchdog reads the flag when it starts; a Ctrl+C that came before the
// flag went down ends the process there, one after it in the main thread.
void setInterruptEndsAtOnce(int atOnce) { interruptEndsAtOnce.store(atOnce); }

void actOnPendingInterrupt() { runInterruptHandlerIfPending(); }

void setIdleLimit(int millis) { idleLimitMillis = millis > 0 ? millis : 0; }

void beginDeadline() { deadlineMillis = idleLimitMillis > 0 ? monotonicMillis() + idleLimitMillis : 0; }

void endDeadline() { deadlineMillis = 0; }

int deadlinePassed() {
    if (deadlineMillis == 0 || monotonicMillis() < deadlineMillis) return 0;
    lastError = WSAETIMEDOUT;
    return 1;
}

void pauseMillis(std::int64_t millis) {
    std::int64_t until = monotonicMillis() + millis;
    for (std::int64_t left = millis; left > 0; left = until - monotonicMillis()) {
        runInterruptHandlerIfPending();
        Sleep(static_cast<DWORD>(left < kStepMillis ? left : kStepMillis));
    }
    runInterruptHandlerIfPending();
}

// Only a console counts: the runtime's isatty also says yes for NUL.
int standardErrorIsTerminal() {
    static int answer = -1;
    DWORD mode = 0;
    if (answer < 0) answer = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? 1 : 0;
    return answer;
}

// The console has no resize signal; asking it costs one call per redraw.
int terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO screen;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &screen)) return 80;
    int columns = screen.srWindow.Right - screen.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

std::int64_t monotonicMillis() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    std::int64_t ticksPerSecond = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    return counter.QuadPart / ticksPerSecond * 1000 + counter.QuadPart % ticksPerSecond * 1000 / ticksPerSecond;
}
