#include "support/log.h"

#include <cstdarg>
#include <cstdio>

#include "support/format_text.h"

int verbosity = 3;

void logAt(int level, const char* format, ...) {
    if (level > verbosity) return;
    // One write per message: an unbuffered stream may otherwise be written
    // piece by piece (a character at a time on some runtimes), which is
    // slow on a console and lets a progress redraw show half-drawn.
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = formatList(message, sizeof message, format, arguments);
    if (length >= 0 && static_cast<size_t>(length) < sizeof message) {
        std::fwrite(message, 1, static_cast<size_t>(length), stderr);
    } else {
        std::vfprintf(stderr, format, again);
    }
    va_end(again);
    va_end(arguments);
}
