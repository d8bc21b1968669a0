// The checked variants _FORTIFY_SOURCE puts in place of these calls lie
// together on pages of the C library that a plain run would map for them
// alone. Here they would check nothing: the buffer comes through a
// pointer whose size the compiler cannot see, and every format is a
// literal that the compiler checks against its arguments.
#undef _FORTIFY_SOURCE

#include "support/format_text.h"

#include <cstdio>

int formatList(char* out, std::size_t capacity, const char* format, va_list arguments) {
    return std::vsnprintf(out, capacity, format, arguments);
}

int formatText(char* out, std::size_t capacity, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = formatList(out, capacity, format, arguments);
    va_end(arguments);
    return length;
}

int formatInto(char* out, int capacity, const char* format, ...) {
    if (capacity <= 0) return 0;
    va_list arguments;
    va_start(arguments, format);
    int length = formatList(out, static_cast<std::size_t>(capacity), format, arguments);
    va_end(arguments);
    if (length < 0) {
        out[0] = '\0';
        return 0;
    }
    return length < capacity ? length : capacity - 1;
}
