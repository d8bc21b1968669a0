// POSIX stand-in, the output's side: what the output file is, placing and
// cutting it, files replaced or removed by name, and the body moved from the
// socket into the file through a kernel pipe without passing through the
// program.
#include "platform/platform.h"
#include "platform/posix_layer.h"
#include "support/format_text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The kernel pipe that carries body bytes from the socket to the file; made
// on first use, closed with the socket (there is one at a time), and empty
// between calls.
int bodyPipe[2] = {-1, -1};
int bodyPipeCapacity = 0;
// The largest size asked of this pipe: a size the kernel refused is not
// asked again.
int bodyPipeAsked = 0;

// What the output is, so that a block goes into it without a question to
// the kernel. Asked (fstat) when a reply first judges the output, when it is
// cut, or when a connection first moves bytes into it; forgotten when the
// connection closes. The position is not kept: the descriptor holds it, and
// the stream is written out before each move, so the stream's own writes
// and the moves follow one another whatever the caller does in between.
enum OutputKind { kindNone, kindRegular, kindPipe, kindNullDevice, kindOtherDevice };
struct OutputBook {
    std::FILE* file = nullptr;
    int descriptor = -1;
    int kind = kindNone;
    // The output refused bytes from the pipe although its kind takes them
    // (a file opened for appending): the rest of the connection goes the
    // plain way.
    int refusedPipe = 0;
};
OutputBook outputBook;

// The sockets, by descriptor, that letSocketGather has set; a descriptor
// past the set keeps the non-blocking way.
const int kGatherSetSize = 1024;
std::uint64_t gatheringSockets[kGatherSetSize / 64];

// How long a splice may wait in the kernel for bytes before it says there
// are none and the wait goes on in poll.
const long kGatherMicros = 2000;

// Returns the socket's bit in gatheringSockets, 0 past the set.
std::uint64_t gatherBit(int socket) {
    return socket >= 0 && socket < kGatherSetSize ? std::uint64_t(1) << (socket % 64) : 0;
}

// A non-blocking splice from a socket returns after one pass over what has
// arrived; a blocking one goes on while more arrives (512 MiB to /dev/null
// on loopback: two thirds of the splice calls, 2 polls instead of about
// 4,000, a fifth less processor time). The socket blocks only briefly:
// when nothing arrives within kGatherMicros the splice fails with EAGAIN
// and the wait goes on in poll, which watches the idle limit and the
// interrupt. An interrupt meets the brief wait as EINTR, since a receive
// with a time limit is never restarted. Nothing is sent on the socket once
// the body has begun.
void letSocketGather(int socket) {
    std::uint64_t bit = gatherBit(socket);
    if (bit == 0 || (gatheringSockets[socket / 64] & bit) != 0) return;
    gatheringSockets[socket / 64] |= bit;
    timeval brief = {0, kGatherMicros};
    int flags = fcntl(socket, F_GETFL);
    if (setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief) == 0 && flags >= 0) {
        fcntl(socket, F_SETFL, flags & ~O_NONBLOCK);
    }
}

int isNullDevice(const struct stat& status) {
    return S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3);
}

int kindOf(const struct stat& status) {
    if (S_ISREG(status.st_mode)) return kindRegular;
    if (S_ISFIFO(status.st_mode)) return kindPipe;
    return isNullDevice(status) ? kindNullDevice : kindOtherDevice;
}

// fstat as the C library makes it: it hands the kernel an empty name from
// its own read-only data, whose page nothing else in a plain run touches
// and which then costs resident memory. This one hands over the program's.
int statDescriptor(int descriptor, struct stat& status) {
    static const char kNoName[] = "";
    return fstatat(descriptor, kNoName, &status, AT_EMPTY_PATH);
}

// Asks the kernel what the stream's descriptor is and notes it in the book.
// Returns 0, or -1 when there is no descriptor or fstat failed (errno set).
int askOutput(std::FILE* file, struct stat& status) {
    outputBook = OutputBook();
    int descriptor = fileno(file);
    if (descriptor < 0 || statDescriptor(descriptor, status) != 0) return -1;
    outputBook.file = file;
    outputBook.descriptor = descriptor;
    outputBook.kind = kindOf(status);
    return 0;
}

// Files and pipes take bytes from a pipe, and so does the null device.
// Other devices go the plain way: a device that fails writes then fails
// them exactly where the plain path does, after the stream's buffering.
// Returns 1 when the output takes them, from the book when it holds this
// stream.
int outputTakesPipe(std::FILE* file) {
    struct stat status;
    if ((outputBook.file != file || outputBook.descriptor != fileno(file)) && askOutput(file, status) != 0) return 0;
    return outputBook.kind != kindOtherDevice && !outputBook.refusedPipe;
}

// Returns 1 when the pipe is there, 0 when it cannot be made. Grows it to
// hold capacity, so that one splice pair moves the whole block; a size the
// kernel refuses (past its limit for a pipe or for the user) is tried at
// half, down to what the pipe holds, and not asked again.
int openBodyPipe(int capacity) {
    if (bodyPipe[0] < 0) {
        if (pipe2(bodyPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
            bodyPipe[0] = bodyPipe[1] = -1;
            return 0;
        }
        int size = fcntl(bodyPipe[1], F_GETPIPE_SZ);
        bodyPipeCapacity = size > 0 ? size : 4096;
    }
    if (capacity <= bodyPipeCapacity || capacity <= bodyPipeAsked) return 1;
    bodyPipeAsked = capacity;
    for (int asked = capacity; asked > bodyPipeCapacity; asked /= 2) {
        int size = fcntl(bodyPipe[1], F_SETPIPE_SZ, asked);
        if (size > 0) {
            bodyPipeCapacity = size;
            break;
        }
    }
    return 1;
}

int isUnsupportedError(int errnoValue) {
    return errnoValue == EINVAL || errnoValue == ENOSYS || errnoValue == EOPNOTSUPP;
}

// Fills the empty pipe from the socket. Returns the count, 0 at an orderly
// close, kMoveSocketFailed, or kMoveUnavailable.
int fillPipeFromSocket(int socket, int capacity) {
    letSocketGather(socket);
    size_t wanted = static_cast<size_t>(capacity < bodyPipeCapacity ? capacity : bodyPipeCapacity);
    for (;;) {
        runInterruptHandlerIfPending();
        ssize_t moved = splice(socket, nullptr, bodyPipe[1], nullptr, wanted, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (moved >= 0) return static_cast<int>(moved);
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (waitForSocket(socket, POLLIN) != 0) return kMoveSocketFailed;
        } else if (isUnsupportedError(errno)) {
            return kMoveUnavailable;
        } else if (errno != EINTR) {
            return failWithErrno();
        }
    }
}

// Returns 1 to try the write again after an interruption or a full
// output, 0 when the output failed (errno kept). Never runs the interrupt
// handler: bytes taken from the socket are still on their way, and the
// next socket wait acts on the interrupt once they are written.
int mayRetryWrite(int output) {
    int savedErrno = errno;
    if (savedErrno == EINTR) return 1;
    if (savedErrno != EAGAIN && savedErrno != EWOULDBLOCK) return 0;
    // An output that is slow to take bytes is no silent peer: no limit.
    for (;;) {
        pollfd watched = {output, POLLOUT, 0};
        int ready = poll(&watched, 1, -1);
        if (ready > 0) break;
        if (ready < 0 && errno != EINTR) return 0;
    }
    errno = savedErrno;
    return 1;
}

// Moves count bytes from the pipe into the output. Returns 0 when all
// arrived, -1 when the output failed (errno kept), kMoveUnavailable when
// the output takes no bytes from a pipe (the rest stays in the pipe).
int drainPipeToFile(int output, int count, int& written) {
    while (written < count) {
        size_t wanted = static_cast<size_t>(count - written);
        ssize_t moved = splice(bodyPipe[0], nullptr, output, nullptr, wanted, SPLICE_F_MOVE);
        if (moved > 0) {
            written += static_cast<int>(moved);
            noteOutputMoving();
        } else if (moved == 0) {
            errno = EIO;
            return -1;
        } else if (isUnsupportedError(errno)) {
            return kMoveUnavailable;
        } else if (!mayRetryWrite(output)) {
            return -1;
        }
    }
    return 0;
}

// Writes all count bytes to the output. Returns 0, or -1 (errno kept).
int writeAll(int output, const char* bytes, int count, int& written) {
    int done = 0;
    while (done < count) {
        ssize_t put = write(output, bytes + done, static_cast<size_t>(count - done));
        if (put > 0) {
            done += static_cast<int>(put);
            written += static_cast<int>(put);
            noteOutputMoving();
        } else if (put == 0 || !mayRetryWrite(output)) {
            if (put == 0) errno = EIO;
            return -1;
        }
    }
    return 0;
}

// The plain way for what is left in the pipe when the output takes no
// bytes from it. Returns 0, or -1 when the output failed (errno kept).
int copyPipeToFile(int output, int count, int& written) {
    static char spare[65536];
    while (written < count) {
        size_t wanted = static_cast<size_t>(count - written);
        if (wanted > sizeof spare) wanted = sizeof spare;
        ssize_t got = read(bodyPipe[0], spare, wanted);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            errno = EIO;
            return -1;
        }
        if (writeAll(output, spare, static_cast<int>(got), written) != 0) return -1;
    }
    return 0;
}

// Leaves the pipe empty for the next call, whatever the file refused.
void discardPipe() {
    static char spare[65536];
    while (read(bodyPipe[0], spare, sizeof spare) > 0) {
    }
}

}  // namespace

void forgetSocketOutput(int socket) {
    if (gatherBit(socket) != 0) gatheringSockets[socket / 64] &= ~gatherBit(socket);
    outputBook = OutputBook();
    if (bodyPipe[0] < 0) return;
    close(bodyPipe[0]);
    close(bodyPipe[1]);
    bodyPipe[0] = bodyPipe[1] = -1;
    bodyPipeCapacity = bodyPipeAsked = 0;
}

int outputCanBeEmptied(std::FILE* file) {
    // Asked afresh: a reply is judged before its first block.
    struct stat status;
    if (askOutput(file, status) != 0) return 0;
    return outputBook.kind == kindRegular || outputBook.kind == kindNullDevice;
}

std::int64_t regularFileSize(std::FILE* file) {
    struct stat status;
    if (askOutput(file, status) != 0 || outputBook.kind != kindRegular) return -1;
    return static_cast<std::int64_t>(status.st_size);
}

int readableByOthers(std::FILE* file) {
    struct stat status;
    int descriptor = fileno(file);
    return descriptor >= 0 && statDescriptor(descriptor, status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

int emptyOutputFile(std::FILE* file, const char** failedCall) { return cutOutputFile(file, 0, failedCall); }

int seekOutputFile(std::FILE* file, std::int64_t offset) {
    if (std::fflush(file) != 0) return -1;
    // fseeko moves the descriptor too, where the direct path writes.
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
}

int cutOutputFile(std::FILE* file, std::int64_t length, const char** failedCall) {
    *failedCall = "fflush";
    if (std::fflush(file) != 0) return -1;
    *failedCall = "fseek";
    if (fseeko(file, static_cast<off_t>(length), SEEK_SET) != 0) return -1;
    struct stat status;
    if (askOutput(file, status) == 0 && outputBook.kind != kindRegular) return 0;
    // Only a longer file is cut: a truncation, even of an empty file, makes
    // ext4 write the whole file out at its close, which then waits for it.
    if (outputBook.kind == kindRegular && status.st_size <= static_cast<off_t>(length)) return 0;
    *failedCall = "ftruncate";
    return ftruncate(fileno(file), static_cast<off_t>(length));
}

namespace {

// Writes all count bytes to a fresh descriptor. Returns 0, or -1 (errno kept).
int writeWhole(int descriptor, const char* bytes, int count) {
    int done = 0;
    while (done < count) {
        ssize_t put = write(descriptor, bytes + done, static_cast<size_t>(count - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return -1;
        }
        done += static_cast<int>(put);
    }
    return 0;
}

// Gives up a half-made replacement, keeping the error of the failed call.
int dropTemporary(const char* temporary) {
    int savedErrno = errno;
    unlink(temporary);
    errno = savedErrno;
    return -1;
}

}  // namespace

namespace {

const size_t kTemporaryNameRoom = 4096;

// Creates name + ".tmp" for writing, exclusively, into temporary. Returns
// the descriptor, or -1 with errno set and failedCall naming the call.
int createTemporary(const char* name, char* temporary, const char** failedCall) {
    int length = formatText(temporary, kTemporaryNameRoom, "%s.tmp", name);
    *failedCall = "open";
    if (length < 0 || static_cast<size_t>(length) >= kTemporaryNameRoom) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // A leftover, even a link planted there, goes; O_EXCL then refuses
    // anything that reappears, so no other file is ever written through.
    if (unlink(temporary) != 0 && errno != ENOENT) return -1;
    return open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

}  // namespace

int replaceFileContent(const char* name, const char* bytes, int count, const char** failedCall) {
    char temporary[kTemporaryNameRoom];
    int descriptor = createTemporary(name, temporary, failedCall);
    if (descriptor < 0) return -1;
    *failedCall = "write";
    if (writeWhole(descriptor, bytes, count) != 0) {
        int savedErrno = errno;
        close(descriptor);
        errno = savedErrno;
        return dropTemporary(temporary);
    }
    *failedCall = "close";
    if (close(descriptor) != 0) return dropTemporary(temporary);
    *failedCall = "rename";
    if (rename(temporary, name) != 0) return dropTemporary(temporary);
    return 0;
}

int probeFileReplacement(const char* name, const char** failedCall) {
    char temporary[kTemporaryNameRoom];
    int descriptor = createTemporary(name, temporary, failedCall);
    if (descriptor < 0) return -1;
    close(descriptor);
    return unlink(temporary);
}

// The C library's fopen reads its mode through a table that nothing else
// in a plain run touches, and its page costs resident memory.
std::FILE* openStream(const char* name, const char* mode) {
    int flags = mode[0] == 'w' ? O_WRONLY | O_CREAT | O_TRUNC : mode[1] == '+' ? O_RDWR : O_RDONLY;
    int descriptor = open(name, flags, 0666);
    if (descriptor < 0) return nullptr;
    std::FILE* stream = fdopen(descriptor, mode);
    if (stream == nullptr) {
        int savedErrno = errno;
        close(descriptor);
        errno = savedErrno;
    }
    return stream;
}

int fileNameKind(const char* name, int followLinks) {
    struct stat status;
    int found = followLinks ? stat(name, &status) : lstat(name, &status);
    if (found != 0) return errno == ENOENT ? fileNameMissing : fileNameOther;
    return S_ISREG(status.st_mode) ? fileNameRegular : fileNameOther;
}

int isDeviceName(const char* name) { return std::strncmp(name, "/dev/", 5) == 0 || std::strncmp(name, "/proc/", 6) == 0; }

int removeFileIfPresent(const char* name) { return unlink(name) == 0 || errno == ENOENT ? 0 : -1; }

int moveSocketBytesToFile(SocketHandle socket, std::FILE* file, int capacity, int& written) {
    written = 0;
    if (!outputTakesPipe(file) || !openBodyPipe(capacity)) return kMoveUnavailable;
    int output = outputBook.descriptor;
    int moved = fillPipeFromSocket(static_cast<int>(socket), capacity);
    if (moved <= 0) return moved;
    // Bytes the stream still holds come first in the file. Written out, the
    // stream also lets go of its idea of the position, as it must when its
    // descriptor is written to: ftell and relative seeks ask the kernel.
    if (std::fflush(file) != 0) {
        int savedErrno = errno;
        discardPipe();
        errno = savedErrno;
        return kMoveFileRefused;
    }
    int outcome = drainPipeToFile(output, moved, written);
    if (outcome == kMoveUnavailable) {
        outputBook.refusedPipe = 1;
        outcome = copyPipeToFile(output, moved, written);
    }
    if (outcome != 0) {
        int savedErrno = errno;
        discardPipe();
        errno = savedErrno;
        return kMoveFileRefused;
    }
    return moved;
}

size_t writeOutputBytes(std::FILE* file, const char* bytes, size_t count) {
    if (!outputTakesPipe(file)) return std::fwrite(bytes, 1, count, file);
    if (std::fflush(file) != 0) return 0;
    size_t written = 0;
    while (written < count) {
        ssize_t wrote = write(outputBook.descriptor, bytes + written, count - written);
        if (wrote <= 0) break;  // an interrupt, too, ends it short, as it ends fwrite
        written += static_cast<size_t>(wrote);
    }
    return written;
}
