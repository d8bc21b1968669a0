// Formatting into a caller's buffer, as snprintf and vsnprintf do, for the
// texts the shared code and the POSIX layer compose.
#pragma once

#include <cstdarg>
#include <cstddef>

// As vsnprintf: writes at most capacity - 1 bytes and a terminating zero,
// and returns the length the whole text needs, or a negative count.
int formatList(char* out, std::size_t capacity, const char* format, va_list arguments);

// As snprintf, the same way.
int formatText(char* out, std::size_t capacity, const char* format, ...) __attribute__((format(printf, 3, 4)));

// As snprintf, but returns the length actually written: never more than
// capacity - 1, and 0 for no room at all or a failure (out then empty).
int formatInto(char* out, int capacity, const char* format, ...) __attribute__((format(printf, 3, 4)));
