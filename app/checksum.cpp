#include "app/checksum.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/sha256.h"
#include "support/ascii_text.h"
#include "support/log.h"
#include "support/shown_text.h"

namespace {

const int kStatusUsage = 1;
const int kStatusFileFailed = 4;
const int kStatusChecksumMismatch = 7;
// A -d value that is no checksum is shown up to this many characters.
const int kShownValueLength = 70;
// The file is read back in pieces this large, so that the calls cost
// little beside the hash. Taken from the heap, so a run without -d never
// holds them.
const int kReadBackCapacity = 256 * 1024;

// The hash of an output that cannot be read back, fed as it is written.
Sha256Hash writtenHash;

// Reads exactly 64 hex digits, either case. Returns 1 with digest set.
int readHexDigest(const char* text, unsigned char* digest) {
    if (std::strlen(text) != 2 * kSha256Size) return 0;
    for (int index = 0; index < kSha256Size; ++index) {
        int high = hexDigitValue(text[2 * index]);
        int low = hexDigitValue(text[2 * index + 1]);
        if (high < 0 || low < 0) return 0;
        digest[index] = static_cast<unsigned char>(high * 16 + low);
    }
    return 1;
}

// Writes the digest as 64 lower-case hex digits and a zero.
void formatDigest(const unsigned char* digest, char* text) {
    static const char kDigits[] = "0123456789abcdef";
    for (int index = 0; index < kSha256Size; ++index) {
        text[2 * index] = kDigits[digest[index] >> 4];
        text[2 * index + 1] = kDigits[digest[index] & 15];
    }
    text[2 * kSha256Size] = '\0';
}

// Hashes the file's bytes, read back from its start. Returns 1, or 0 with
// the note of the call that failed.
int hashFile(const char* name, Sha256Hash& hash, BoundedString& note) {
    char* piece = static_cast<char*>(std::malloc(kReadBackCapacity));
    std::FILE* file = piece == nullptr ? nullptr : openStream(name, "rb");
    if (file == nullptr) {
        assignFormat(note, "%s: %s\n", piece == nullptr ? "malloc" : "fopen", std::strerror(errno));
        std::free(piece);
        return 0;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // the pieces are large: no copy through a buffer
    sha256Begin(hash);
    size_t count = 0;
    while ((count = std::fread(piece, 1, kReadBackCapacity, file)) > 0) sha256Add(hash, piece, count);
    int failed = std::ferror(file);
    if (failed) assignFormat(note, "fread: %s\n", std::strerror(errno));
    std::fclose(file);
    std::free(piece);
    return !failed;
}

// Says whether the digest is the one asked for. Returns the status the
// run ends with.
int compareDigest(const CommandLine& commandLine, const unsigned char* digest, int status) {
    char found[2 * kSha256Size + 1];
    formatDigest(digest, found);
    if (std::memcmp(digest, commandLine.checksum, kSha256Size) == 0) {
        logAt(3, "SHA-256 checked: %s\n", found);
        return status;
    }
    char wanted[2 * kSha256Size + 1];
    formatDigest(commandLine.checksum, wanted);
    logAt(1, "Checksum mismatch: the file's SHA-256 is %s, not %s\n", found, wanted);
    return kStatusChecksumMismatch;
}

}  // namespace

void scanChecksumOption(const char* text, CommandLine& commandLine) {
    commandLine.checksumGiven = 1;
    assignText(commandLine.checksumProblem, "");
    if (readHexDigest(text, commandLine.checksum)) return;
    int length = static_cast<int>(std::strlen(text));
    assignText(commandLine.checksumProblem, "Bad checksum: \"");
    appendEscaped(commandLine.checksumProblem, text, length < kShownValueLength ? length : kShownValueLength);
    if (length > kShownValueLength) appendBytes(commandLine.checksumProblem, "...", 3);
    const char kRule[] = "\" (-d takes the SHA-256 as 64 hex digits)\n";
    appendBytes(commandLine.checksumProblem, kRule, static_cast<int>(sizeof kRule - 1));
}

int checksumReady(const CommandLine& commandLine) {
    if (!commandLine.checksumGiven) return 1;
    if (commandLine.checksumProblem.length > 0) {
        logAt(1, "%s", textOf(commandLine.checksumProblem));
        return 0;
    }
    if (commandLine.headersOnly) {
        logAt(1, "Checksum: -d cannot be used with -h, which stores no body\n");
        return 0;
    }
    BoundedString why;
    if (sha256Available(why)) return 1;
    logAt(1, "Checksum: SHA-256 is not available: %s\n", textOf(why));
    return 0;
}

int prepareChecksum(const CommandLine& commandLine, TransferRequest& request) {
    if (!commandLine.checksumGiven || regularFileSize(request.output) >= 0) return 0;
    if (commandLine.continueFile) {
        logAt(1, "Checksum: -c -d needs a file that can be read back, not a pipe, terminal or device\n");
        return kStatusUsage;
    }
    sha256Begin(writtenHash);
    request.writtenHash = &writtenHash;
    return 0;
}

int checkChecksum(const CommandLine& commandLine, TransferRequest& request, int status) {
    if (!commandLine.checksumGiven || (status != 0 && status != 10)) return status;
    Sha256Hash readHash;
    Sha256Hash& hash = request.writtenHash != nullptr ? *request.writtenHash : readHash;
    BoundedString note;
    if (request.writtenHash == nullptr && !hashFile(textOf(commandLine.localFile), hash, note)) {
        hash.failed = 1;  // only frees what the library holds
        sha256End(hash, nullptr);
        logAt(1, "%s", textOf(note));
        return kStatusFileFailed;
    }
    unsigned char digest[kSha256Size];
    if (!sha256End(hash, digest)) {
        logAt(1, "Checksum: SHA-256 is not available: the library failed to hash the file\n");
        return kStatusUsage;
    }
    return compareDigest(commandLine, digest, status);
}
