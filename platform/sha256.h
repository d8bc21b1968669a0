// SHA-256 from the platform's own library: libcrypto on Linux, CryptoAPI
// on Windows, loaded by sha256Available on a run that checks a checksum,
// so that any other run never maps it.
#pragma once

#include <cstddef>

#include "support/bounded_string.h"

// The bytes of a SHA-256 value.
const int kSha256Size = 32;

// One hash in progress; context is the library's, null before sha256Begin.
struct Sha256Hash {
    void* context = nullptr;
    int failed = 0;  // a call of the library failed: the value is worth nothing
};

// Loads the library, once. Returns 1 when SHA-256 can be computed, 0 with
// why set to the reason, a phrase without newline.
int sha256Available(BoundedString& why);

// Starts a hash over no bytes, ending one that is under way. Returns 1, or
// 0 with failed set.
int sha256Begin(Sha256Hash& hash);

// Adds count bytes to the hash; a failure shows as failed.
void sha256Add(Sha256Hash& hash, const void* bytes, std::size_t count);

// Ends the hash, writing its value into digest. Returns 1, or 0 when a
// call failed on the way (digest then means nothing).
int sha256End(Sha256Hash& hash, unsigned char* digest);
