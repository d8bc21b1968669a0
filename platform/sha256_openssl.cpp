// SHA-256 on Linux from libcrypto, which libssl needs anyway: loaded with
// dlopen by the run that checks a checksum, each function reached through
// a pointer resolved once, as the TLS layer does with libssl.
#include "platform/sha256.h"

#ifdef WEBHAUL_NO_TLS

int sha256Available(BoundedString& why) {
    assignText(why, "a statically linked program cannot load libcrypto");
    return 0;
}

int sha256Begin(Sha256Hash& hash) {
    hash.failed = 1;
    return 0;
}

void sha256Add(Sha256Hash& hash, const void*, std::size_t) { hash.failed = 1; }

int sha256End(Sha256Hash&, unsigned char*) { return 0; }

#else

#include <dlfcn.h>
#include <openssl/evp.h>

namespace {

#define SHA256_FUNCTIONS(X) \
    X(EVP_MD_CTX_new) X(EVP_MD_CTX_free) X(EVP_sha256) X(EVP_DigestInit_ex) X(EVP_DigestUpdate) X(EVP_DigestFinal_ex)

struct CryptoLibrary {
#define DECLARE_POINTER(name) decltype(&::name) name;
    SHA256_FUNCTIONS(DECLARE_POINTER)
#undef DECLARE_POINTER
    int loaded;  // 1: loaded, -1: failed, 0: not tried
};

CryptoLibrary crypto = {};

// Resolves every function the hash uses. Returns 1, or 0 when one is missing.
int resolveFunctions(void* library) {
#define RESOLVE(name)                                                          \
    crypto.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
    if (crypto.name == nullptr) return 0;
    SHA256_FUNCTIONS(RESOLVE)
#undef RESOLVE
    return 1;
}

EVP_MD_CTX* contextOf(const Sha256Hash& hash) { return static_cast<EVP_MD_CTX*>(hash.context); }

}  // namespace

int sha256Available(BoundedString& why) {
    if (crypto.loaded == 0) {
        void* library = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        crypto.loaded = library != nullptr && resolveFunctions(library) ? 1 : -1;
    }
    if (crypto.loaded == 1) return 1;
    assignText(why, "libcrypto.so.3 (OpenSSL 3) could not be loaded");
    return 0;
}

int sha256Begin(Sha256Hash& hash) {
    if (hash.context == nullptr) hash.context = crypto.EVP_MD_CTX_new();
    hash.failed = hash.context == nullptr || crypto.EVP_DigestInit_ex(contextOf(hash), crypto.EVP_sha256(), nullptr) != 1;
    return !hash.failed;
}

void sha256Add(Sha256Hash& hash, const void* bytes, std::size_t count) {
    if (hash.failed || count == 0) return;
    if (crypto.EVP_DigestUpdate(contextOf(hash), bytes, count) != 1) hash.failed = 1;
}

int sha256End(Sha256Hash& hash, unsigned char* digest) {
    unsigned int length = 0;
    int ended = !hash.failed && crypto.EVP_DigestFinal_ex(contextOf(hash), digest, &length) == 1 &&
                length == static_cast<unsigned int>(kSha256Size);
    crypto.EVP_MD_CTX_free(contextOf(hash));
    hash.context = nullptr;
    return ended;
}

#endif
