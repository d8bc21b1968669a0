#include "support/bounded_string.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/format_text.h"

BoundedString::BoundedString(const char* text) { assignText(*this, text); }

BoundedString::BoundedString(const BoundedString& other) {
    assignBytes(*this, other.buffer, other.length);
}

BoundedString::BoundedString(BoundedString&& other) noexcept
    : length(other.length), buffer(other.buffer) {
    other.length = 0;
    other.buffer = nullptr;
}

BoundedString& BoundedString::operator=(const BoundedString& other) {
    assignBytes(*this, other.buffer, other.length);
    return *this;
}

BoundedString& BoundedString::operator=(BoundedString&& other) noexcept {
    if (this != &other) {
        std::free(buffer);
        length = other.length;
        buffer = other.buffer;
        other.length = 0;
        other.buffer = nullptr;
    }
    return *this;
}

BoundedString::~BoundedString() { std::free(buffer); }

void assignBytes(BoundedString& target, const char* bytes, int count) {
    if (bytes == nullptr || count < 0) count = 0;
    if (count > kBoundedStringCap) count = kBoundedStringCap;
    if (count == target.length && target.buffer != nullptr) {
        if (count > 0) std::memmove(target.buffer, bytes, static_cast<size_t>(count));
        target.buffer[count] = '\0';
        return;
    }
    // Copy before releasing: bytes may point into the old buffer.
    char* fresh = static_cast<char*>(std::malloc(static_cast<size_t>(count) + 1));
    if (fresh != nullptr) {
        if (count > 0) std::memcpy(fresh, bytes, static_cast<size_t>(count));
        fresh[count] = '\0';
    }
    std::free(target.buffer);
    target.buffer = fresh;
    target.length = fresh == nullptr ? 0 : count;
}

int appendBytes(BoundedString& target, const char* bytes, int count) {
    int room = kBoundedStringCap - target.length;
    int taken = count < room ? count : room;
    if (taken <= 0) return count <= 0;
    char* grown = static_cast<char*>(std::realloc(target.buffer, static_cast<size_t>(target.length + taken) + 1));
    if (grown == nullptr) return 0;
    std::memcpy(grown + target.length, bytes, static_cast<size_t>(taken));
    target.length += taken;
    grown[target.length] = '\0';
    target.buffer = grown;
    return taken == count;
}

void assignText(BoundedString& target, const char* text) {
    size_t length = text == nullptr ? 0 : std::strlen(text);
    if (length > static_cast<size_t>(kBoundedStringCap)) length = kBoundedStringCap;
    assignBytes(target, text, static_cast<int>(length));
}

void assignFormat(BoundedString& target, const char* format, ...) {
    char scratch[1000];
    va_list arguments;
    va_start(arguments, format);
    formatList(scratch, sizeof scratch, format, arguments);
    va_end(arguments);
    assignText(target, scratch);
}

const char* textOf(const BoundedString& source) {
    return source.buffer == nullptr ? "" : source.buffer;
}
