// Windows stand-in, the output's side: what the output file is, placing
// and cutting it, and files replaced or removed by name. Windows has no way
// to move socket bytes into a file past the program.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/platform.h"

namespace {

// The null device is a character device that is no console.
int isNullDevice(HANDLE handle) {
    DWORD mode = 0;
    return GetFileType(handle) == FILE_TYPE_CHAR && !GetConsoleMode(handle, &mode);
}

// The runtime's error for a failed system call, so that its text reads
// as the reason.
int errnoForSystemError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return EIO;
    }
}

// Gives up a half-made replacement, keeping the error of the failed call.
int dropTemporary(const char* temporary) {
    int savedErrno = errno;
    DeleteFileA(temporary);
    errno = savedErrno;
    return -1;
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

int readableByOthers(std::FILE*) { return 0; }

int emptyOutputFile(std::FILE* file, const char** failedCall) { return cutOutputFile(file, 0, failedCall); }

// msvcrt's fseek stops at 2 GiB; its fsetpos takes a 64-bit position
// and, like fseek, readies the stream for a write after a read.
int seekOutputFile(std::FILE* file, std::int64_t offset) {
    if (std::fflush(file) != 0) return -1;
    fpos_t position = offset;
    return fsetpos(file, &position);
}

int cutOutputFile(std::FILE* file, std::int64_t length, const char** failedCall) {
    *failedCall = "fflush";
    if (std::fflush(file) != 0) return -1;
    *failedCall = "fseek";
    fpos_t position = length;
    if (fsetpos(file, &position) != 0) return -1;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK || _filelengthi64(_fileno(file)) <= length) return 0;
    if (length <= LONG_MAX) {
        *failedCall = "_chsize";
        return _chsize(_fileno(file), static_cast<long>(length));
    }
    // Past _chsize's reach: the handle stands at length since the seek.
    *failedCall = "SetEndOfFile";
    if (SetEndOfFile(handle)) return 0;
    errno = errnoForSystemError(GetLastError());
    return -1;
}

namespace {

const size_t kTemporaryNameRoom = MAX_PATH + 8;

// Creates name + ".tmp" for writing, exclusively, into temporary. Returns
// the descriptor, or -1 with errno set and failedCall naming the call.
int createTemporary(const char* name, char* temporary, const char** failedCall) {
    int length = std::snprintf(temporary, kTemporaryNameRoom, "%s.tmp", name);
    *failedCall = "open";
    if (length < 0 || static_cast<size_t>(length) >= kTemporaryNameRoom) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (removeFileIfPresent(temporary) != 0) return -1;
    return _open(temporary, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

}  // namespace

int replaceFileContent(const char* name, const char* bytes, int count, const char** failedCall) {
    char temporary[kTemporaryNameRoom];
    int descriptor = createTemporary(name, temporary, failedCall);
    if (descriptor < 0) return -1;
    *failedCall = "write";
    int written = 0;
    while (written < count) {
        int put = _write(descriptor, bytes + written, static_cast<unsigned>(count - written));
        if (put <= 0) {
            if (put == 0) errno = EIO;
            int savedErrno = errno;
            _close(descriptor);
            errno = savedErrno;
            return dropTemporary(temporary);
        }
        written += put;
    }
    *failedCall = "close";
    if (_close(descriptor) != 0) return dropTemporary(temporary);
    *failedCall = "rename";
    if (MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING)) return 0;
    errno = errnoForSystemError(GetLastError());
    return dropTemporary(temporary);
}

int probeFileReplacement(const char* name, const char** failedCall) {
    char temporary[kTemporaryNameRoom];
    int descriptor = createTemporary(name, temporary, failedCall);
    if (descriptor < 0) return -1;
    _close(descriptor);
    return removeFileIfPresent(temporary);
}

std::FILE* openStream(const char* name, const char* mode) { return std::fopen(name, mode); }

size_t writeOutputBytes(std::FILE* file, const char* bytes, size_t count) {
    return std::fwrite(bytes, 1, count, file);
}

int fileNameKind(const char* name, int followLinks) {
    if (isDeviceName(name)) return fileNameOther;
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? fileNameMissing : fileNameOther;
    }
    DWORD others = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | (followLinks ? 0 : FILE_ATTRIBUTE_REPARSE_POINT);
    if (attributes & others) return fileNameOther;
    return fileNameRegular;
}

namespace {

// Returns 1 when the name's stem (its last component up to the first dot
// or colon) is one Windows keeps for a device in every folder.
int isReservedStem(const char* stem, size_t length) {
    static const char* const kReserved[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* reserved : kReserved) {
        if (length == std::strlen(reserved) && _strnicmp(stem, reserved, length) == 0) return 1;
    }
    // COM1 to COM9 and LPT1 to LPT9.
    return length == 4 && (_strnicmp(stem, "COM", 3) == 0 || _strnicmp(stem, "LPT", 3) == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

}  // namespace

int isDeviceName(const char* name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0 || std::strncmp(name, "//./", 4) == 0) return 1;
    const char* stem = name;
    for (const char* at = name; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\' || *at == ':') stem = at + 1;
    }
    size_t length = std::strcspn(stem, ".:");
    // Trailing blanks before the dot name the same device.
    while (length > 0 && stem[length - 1] == ' ') --length;
    return isReservedStem(stem, length);
}

int removeFileIfPresent(const char* name) {
    if (DeleteFileA(name)) return 0;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
    errno = errnoForSystemError(error);
    return -1;
}

// Windows has no call that moves socket bytes into a file without passing
// them through the program; the plain receive path is the only one.
int moveSocketBytesToFile(SocketHandle, std::FILE*, int, int& written) {
    written = 0;
    return kMoveUnavailable;
}
