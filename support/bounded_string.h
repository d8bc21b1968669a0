// The program's one text type: an owned, zero-terminated buffer whose
// length never exceeds kBoundedStringCap. A string without a buffer reads
// as the empty text, so allocation failure degrades to "" instead of crashing.
#pragma once

const int kBoundedStringCap = 65534;

struct BoundedString {
    int length = 0;
    char* buffer = nullptr;

    BoundedString() = default;
    explicit BoundedString(const char* text);
    BoundedString(const BoundedString& other);
    BoundedString(BoundedString&& other) noexcept;
    BoundedString& operator=(const BoundedString& other);
    BoundedString& operator=(BoundedString&& other) noexcept;
    ~BoundedString();
};

// Copies count bytes (negative or absent counts as 0, above the cap is cut).
// On allocation failure the string is left empty without a buffer.
void assignBytes(BoundedString& target, const char* bytes, int count);

// Appends count bytes, as many as fit below the cap. Returns 1 when all
// of them fitted.
int appendBytes(BoundedString& target, const char* bytes, int count);

// Copies a zero-terminated text; an absent text gives the empty string.
void assignText(BoundedString& target, const char* text);

// Formats into a 1000-byte scratch area: the result holds at most 999 characters.
void assignFormat(BoundedString& target, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Returns the text, or "" when the string has no buffer; never null.
const char* textOf(const BoundedString& source);
