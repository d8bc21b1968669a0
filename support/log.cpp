#include "support/log.h"

#include <cstdarg>
#include <cstdio>

int verbosity = 3;

void logAt(int level, const char* format, ...) {
    if (level > verbosity) return;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}
