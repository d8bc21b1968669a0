// The small layer that stands in for the platform: the socket layer with
// its start, stop and last-error code (in the Windows Sockets numbering of
// the program's error table), the interrupt signal and emptying a file.
// Nothing above this layer includes socket headers or reads errno for a
// socket error.
#pragma once

#include <cstdint>
#include <cstdio>

// A server's address of either family; the platform turns it into its
// own socket address record.
struct NetAddress {
    int family = 0;                // kAddressFamilyInet or kAddressFamilyInet6
    int port = 0;                  // host byte order
    unsigned char bytes[16] = {};  // network order: 4 for IPv4, 16 for IPv6
};

const int kAddressFamilyInet = 4;
const int kAddressFamilyInet6 = 6;

// The addresses of one host, in the order to try them.
const int kMostAddresses = 8;
struct AddressList {
    NetAddress entries[kMostAddresses];
    int count = 0;
};

// The longest host name taken, as given (a name has at most 253
// characters, a bracketed IPv6 address far fewer): a longer one is
// refused before any layer keeps it.
const int kLongestHostName = 255;

typedef std::intptr_t SocketHandle;
const SocketHandle kInvalidSocket = -1;

// Starts the socket layer, version 1.1. Returns 0 on success.
int startSocketLayer();

// Stops the socket layer.
void stopSocketLayer();

// Returns the code of the last failed socket call (0 when none failed).
int lastSocketError();

// Reads a dotted IPv4 address, or an IPv6 address in brackets where the
// platform has IPv6, into list as its one entry with port. Returns 1, or 0
// for a text that is a name to look up.
int parseNumericAddress(const char* text, int port, AddressList& list);

// Looks the name up; fills list with its addresses (IPv4 and, where the
// platform has it, IPv6) in the order given, each with port. Returns 0 on
// success, -1 on failure with a lookup code as last error.
int resolveHostName(const char* name, int port, AddressList& list);

// Returns the numeric form of an address ("127.0.0.1", "::1") in a
// buffer reused by each call.
const char* formatAddress(const NetAddress& address);

// Returns a new TCP socket for the address's family, or kInvalidSocket on
// failure.
SocketHandle openTcpSocket(const NetAddress& address);

// Returns 0 when connected, -1 on failure.
int connectSocket(SocketHandle socket, const NetAddress& address);

// Sends all count bytes. Returns the count sent, or -1 on failure.
int sendBytes(SocketHandle socket, const char* bytes, int count);

// Waits for bytes. Returns the count received (at most capacity), 0 when
// the peer closed the connection in order, -1 on failure.
int receiveBytes(SocketHandle socket, char* block, int capacity);

void closeSocket(SocketHandle socket);

// For a layer that drives a socket itself (TLS): waits until the socket is
// readable (writable when forWrite is set) within the idle limit, watching
// the interrupt. Returns 0 when ready, -1 with the last error set.
int waitForSocketReady(SocketHandle socket, int forWrite);

// Records the system's error of the socket call that just failed as the
// last socket error.
void recordSocketCallFailure();

// Sets the last socket error to code.
void setLastSocketError(int code);

// Arranges for handler to run when the user interrupts the program or any
// other request to end it arrives (SIGTERM and SIGHUP; Ctrl+Break and the
// closing console window). The handler runs in the program's normal flow,
// never inside a signal, at the latest when a wait notices the interrupt;
// it is expected to end the process. farewell is what the handler writes to
// standard error and status the exit status it ends with: the platform uses
// both itself when it has to end the process without the handler, and ends
// it with status when the handler's exit gets stuck writing to an output
// nobody reads.
void installInterruptHandler(void (*handler)(), const char* farewell, int status);

// While on, an interrupt ends the process at once with the farewell: for
// stretches that hold nothing to be written out but may wait in calls that
// do not watch the interrupt (the host lookup, opening the output).
void setInterruptEndsAtOnce(int atOnce);

// Runs the handler when an interrupt is pending: for a caller whose call
// came back short because the interrupt cut it.
void actOnPendingInterrupt();

// Sets how long one wait of a socket call may pass with nothing arriving
// (or no room to send) before the call fails with the timed-out code;
// 0 waits forever, as it does until this is called.
void setIdleLimit(int millis);

// Begins a stretch that must end within the idle limit from now, however
// the bytes trickle (a reply's header section): every socket wait also
// ends then, failing with the timed-out code. The idle limit 0 sets none.
void beginDeadline();

// Ends the stretch beginDeadline began.
void endDeadline();

// Returns 1, with the timed-out code as the last socket error, once the
// stretch's deadline has passed; 0 before it or without one.
int deadlinePassed();

// Waits millis, running the handler as soon as an interrupt arrives.
void pauseMillis(std::int64_t millis);

// Returns 1 when the output can be emptied for a fresh start: a regular
// file, or the null device, which keeps nothing. A pipe, a terminal or
// another device keeps what it was given.
int outputCanBeEmptied(std::FILE* file);

// Returns the size of a regular file, or -1 for anything else.
std::int64_t regularFileSize(std::FILE* file);

// Returns 1 when users besides the file's owner may read it; 0 where the
// platform's files carry no such bits (Windows).
int readableByOthers(std::FILE* file);

// Writes out buffered bytes, then cuts the file to length 0 and rewinds it
// (the null device, having nothing to cut, is only rewound). Returns 0, or
// -1 with the runtime's error left set and failedCall naming the call.
int emptyOutputFile(std::FILE* file, const char** failedCall);

// What moveSocketBytesToFile returns besides a count.
const int kMoveSocketFailed = -1;
const int kMoveFileRefused = -2;
const int kMoveUnavailable = -3;

// Moves up to capacity bytes from the socket into the file's descriptor
// without passing them through the program, first writing out what the
// stream holds buffered; the stream's position follows. Returns the count
// moved, 0 when the peer closed the connection in order, kMoveSocketFailed
// (last socket error set), kMoveFileRefused (errno kept, written holds the
// bytes that reached the file), or kMoveUnavailable when this platform or
// this output cannot take the direct path (nothing moved: read the socket
// with receiveBytes instead). Watches the interrupt like receiveBytes.
int moveSocketBytesToFile(SocketHandle socket, std::FILE* file, int capacity, int& written);

// Writes count bytes to the stream as fwrite does. An output the direct
// path serves gets them straight from bytes, after what the stream holds,
// sparing the copy into its buffer. Returns the count written, less only
// on failure (errno set).
size_t writeOutputBytes(std::FILE* file, const char* bytes, size_t count);

// Waits until one of the count sockets is ready: has bytes to read (or
// its peer closed or failed it), or, where forWrite[i] is set, can take
// bytes (a connect in progress then ended, either way); or until an
// interrupt arrives (the handler runs first) or limitMillis pass
// (negative: no limit; 0: only a look; the idle limit does not apply).
// forWrite may be null: every socket is waited on for reading. count is at
// most 64, as many as select takes on Windows. Sets ready[i] to 1 for each
// socket that is ready, 0 for the others. Returns the count that is ready,
// 0 when the time passed, -1 on failure with the last socket error set.
int waitForReadableSockets(const SocketHandle* sockets, const int* forWrite, int count, int* ready,
                           std::int64_t limitMillis);

// Begins connecting without waiting. Returns 0 when connected at once, 1
// while the connect goes on (the socket turns writable when it ended),
// -1 on failure with the last socket error set.
int beginConnect(SocketHandle socket, const NetAddress& address);

// Ends a connect that beginConnect left going, once the socket turned
// writable (or reported a failure). Returns 0 when connected, -1 with the
// connect's own error as the last socket error.
int endConnect(SocketHandle socket);

// Writes out what the stream holds, then places the file's position at
// offset, past 2 GiB as well, for the writes that follow. Returns 0, or -1
// with the runtime's error left set.
int seekOutputFile(std::FILE* file, std::int64_t offset);

// Writes out buffered bytes, then cuts the file to length when it is
// longer and places the position there (a shorter file and the null device
// are only placed). Returns 0, or -1 with the runtime's error left set and
// failedCall naming the call.
int cutOutputFile(std::FILE* file, std::int64_t length, const char** failedCall);

// Makes count bytes the whole content of the file name: they are written
// to name + ".tmp", created exclusively (a leftover of that name, even a
// link, is removed first and never written through), which then replaces
// name in one step. Returns 0, or -1 with the runtime's error left set and
// failedCall naming the call.
int replaceFileContent(const char* name, const char* bytes, int count, const char** failedCall);

// Removes the file name. Returns 0 when it is gone or never was, -1 with
// the runtime's error left set.
int removeFileIfPresent(const char* name);

// Opens the file name as a stream in one of the modes "rb", "r+b" or "wb",
// as fopen would. Returns the stream, or null with errno set.
std::FILE* openStream(const char* name, const char* mode);

// What fileNameKind finds at a name.
enum FileNameKind {
    fileNameMissing,  // nothing: a file can be made there
    fileNameRegular,  // a regular file
    fileNameOther,    // a directory, pipe, device, a name too long to be one, or a link unfollowed
};

// Returns the FileNameKind of the name, without opening anything there;
// a link is followed only when followLinks is set.
int fileNameKind(const char* name, int followLinks);

// Returns 1 for the name of a device rather than a file: on POSIX one under
// /dev/ or /proc/, on Windows a reserved name such as CON or NUL.
int isDeviceName(const char* name);

// Tries whether replaceFileContent could write name: its temporary is
// created and removed again. Returns 0, or -1 with the runtime's error
// left set and failedCall naming the call.
int probeFileReplacement(const char* name, const char** failedCall);

// Returns 1 when standard error is a terminal, 0 otherwise (asked once).
int standardErrorIsTerminal();

// Returns the width in columns of the terminal standard error is on, or 80
// when it is on none or the width is unknown. Cheap enough for every redraw:
// the width is asked again only after the terminal was resized.
int terminalColumns();

// Returns milliseconds from an arbitrary start; never goes back.
std::int64_t monotonicMillis();
