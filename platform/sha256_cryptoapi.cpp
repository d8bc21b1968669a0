// SHA-256 on Windows from CryptoAPI's AES provider (the one that has it),
// advapi32.dll loaded by the run that checks a checksum.
#include <windows.h>
#include <wincrypt.h>

#include "platform/sha256.h"
#include "platform/windows_library.h"

namespace {

struct CryptoCalls {
    decltype(&CryptAcquireContextA) acquireContext;
    decltype(&CryptCreateHash) createHash;
    decltype(&CryptHashData) hashData;
    decltype(&CryptGetHashParam) getHashParam;
    decltype(&CryptDestroyHash) destroyHash;
};

CryptoCalls calls = {};
HCRYPTPROV provider = 0;
int loaded = 0;  // 1: loaded, -1: failed, 0: not tried
const char* loadProblem = "";

// Resolves the advapi32 calls. Returns 1 when all are there.
int resolveCalls(HMODULE library) {
    return resolve(library, "CryptAcquireContextA", calls.acquireContext) &&
           resolve(library, "CryptCreateHash", calls.createHash) &&
           resolve(library, "CryptHashData", calls.hashData) &&
           resolve(library, "CryptGetHashParam", calls.getHashParam) &&
           resolve(library, "CryptDestroyHash", calls.destroyHash);
}

// Returns 1 when the provider makes a SHA-256 hash: older systems have
// the provider without it.
int providerHashes() {
    HCRYPTHASH probe = 0;
    if (!calls.createHash(provider, CALG_SHA_256, 0, 0, &probe)) return 0;
    calls.destroyHash(probe);
    return 1;
}

HCRYPTHASH handleOf(const Sha256Hash& hash) { return reinterpret_cast<HCRYPTHASH>(hash.context); }

}  // namespace

int sha256Available(BoundedString& why) {
    if (loaded == 0) {
        loaded = -1;
        if (!resolveCalls(LoadLibraryA("advapi32.dll"))) {
            loadProblem = "advapi32.dll cannot be loaded";
        } else if (!calls.acquireContext(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
            loadProblem = "CryptoAPI has no AES provider";
        } else if (!providerHashes()) {
            loadProblem = "the AES provider of CryptoAPI has no SHA-256";
        } else {
            loaded = 1;
        }
    }
    if (loaded == 1) return 1;
    assignText(why, loadProblem);
    return 0;
}

int sha256Begin(Sha256Hash& hash) {
    if (hash.context != nullptr) calls.destroyHash(handleOf(hash));
    HCRYPTHASH handle = 0;
    hash.failed = !calls.createHash(provider, CALG_SHA_256, 0, 0, &handle);
    hash.context = hash.failed ? nullptr : reinterpret_cast<void*>(handle);
    return !hash.failed;
}

void sha256Add(Sha256Hash& hash, const void* bytes, std::size_t count) {
    const BYTE* next = static_cast<const BYTE*>(bytes);
    // CryptHashData takes a DWORD count: a larger one goes in pieces.
    const std::size_t kLargestPiece = 1u << 30;
    while (!hash.failed && count > 0) {
        std::size_t piece = count < kLargestPiece ? count : kLargestPiece;
        if (!calls.hashData(handleOf(hash), next, static_cast<DWORD>(piece), 0)) hash.failed = 1;
        next += piece;
        count -= piece;
    }
}

int sha256End(Sha256Hash& hash, unsigned char* digest) {
    DWORD length = kSha256Size;
    int ended = !hash.failed && calls.getHashParam(handleOf(hash), HP_HASHVAL, digest, &length, 0) &&
                length == static_cast<DWORD>(kSha256Size);
    if (hash.context != nullptr) calls.destroyHash(handleOf(hash));
    hash.context = nullptr;
    return ended;
}
