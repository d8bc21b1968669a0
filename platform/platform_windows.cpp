// Windows Sockets 1.1 and the C runtime (msvcrt) on 32-bit Windows.
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
// file flushed by the runtime). The calls themselves stay plain blocking
// ones, so their results and error codes are the platform's own.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <io.h>

#include "platform/platform.h"

namespace {

int lastError = 0;

std::atomic<int> interruptPending(0);
std::atomic<int> signalThreadDone(0);
void (*interruptHandler)() = nullptr;

// The socket of the attempt in progress. Whoever takes it out (the main
// thread to close it, or the signal thread) is the one that closes it, so
// a handle is never closed twice, nor a reused one by mistake.
std::atomic<SOCKET> activeSocket(INVALID_SOCKET);

// The runtime buffers standard error fully when it is not a console; the
// log must reach a pipe or file line by line, as it is written.
const int kStandardErrorUnbuffered = std::setvbuf(stderr, nullptr, _IONBF, 0);

void onInterruptSignal(int) {
    interruptPending.store(1);
    SOCKET socket = activeSocket.exchange(INVALID_SOCKET);
    if (socket != INVALID_SOCKET) closesocket(socket);
    // The runtime resets the handler before calling it; a second Ctrl+C
    // before the main thread gets to the flag must not kill the process
    // with the file unflushed.
    std::signal(SIGINT, onInterruptSignal);
    signalThreadDone.store(1);
}

void runInterruptHandlerIfPending() {
    if (!interruptPending.load() || interruptHandler == nullptr) return;
    // Exiting while the console-event thread is still inside its calls has
    // been seen to get the whole process killed (under Wine); let it finish
    // and return first. Bounded, and only on the way out.
    for (int waited = 0; !signalThreadDone.load() && waited < 500; ++waited) Sleep(1);
    Sleep(10);
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
    if (finishCall(entry == nullptr) != 0) return -1;
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
        finishCall(true);
        return kInvalidSocket;
    }
    // Registered before the flag is looked at: a Ctrl+C that came just
    // before found no socket to close, and is seen here instead.
    activeSocket.store(handle);
    finishCall(false);
    return static_cast<SocketHandle>(handle);
}

int connectSocket(SocketHandle socket, const Ipv4Address& address) {
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = static_cast<short>(address.family);
    target.sin_port = address.port;
    target.sin_addr.s_addr = address.address;
    int result = connect(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&target), sizeof target);
    return finishCall(result == SOCKET_ERROR);
}

int sendBytes(SocketHandle socket, const char* bytes, int count) {
    int sent = 0;
    while (sent < count) {
        int result = send(static_cast<SOCKET>(socket), bytes + sent, count - sent, 0);
        if (finishCall(result == SOCKET_ERROR) != 0) return -1;
        sent += result;
    }
    return sent;
}

int receiveBytes(SocketHandle socket, char* block, int capacity) {
    runInterruptHandlerIfPending();
    int result = recv(static_cast<SOCKET>(socket), block, capacity, 0);
    if (finishCall(result == SOCKET_ERROR) != 0) return -1;
    return result;
}

void closeSocket(SocketHandle socket) {
    if (socket == kInvalidSocket) return;
    SOCKET handle = static_cast<SOCKET>(socket);
    SOCKET registered = handle;
    // When the signal thread took it, it has closed it already.
    if (activeSocket.compare_exchange_strong(registered, INVALID_SOCKET) || registered != INVALID_SOCKET) {
        closesocket(handle);
    }
}

void installInterruptHandler(void (*handler)()) {
    interruptHandler = handler;
    std::signal(SIGINT, onInterruptSignal);
}

namespace {

// The null device is a character device that is no console.
int isNullDevice(HANDLE handle) {
    DWORD mode = 0;
    return GetFileType(handle) == FILE_TYPE_CHAR && !GetConsoleMode(handle, &mode);
}

}  // namespace

int outputCanBeEmptied(std::FILE* file) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return GetFileType(handle) == FILE_TYPE_DISK || isNullDevice(handle);
}

std::int64_t regularFileSize(std::FILE* file) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK) return -1;
    return _filelengthi64(_fileno(file));
}

int emptyOutputFile(std::FILE* file, const char** failedCall) {
    *failedCall = "fflush";
    if (std::fflush(file) != 0) return -1;
    *failedCall = "fseek";
    if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK) return 0;
    *failedCall = "_chsize";
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
