// The levelled console log: every message the program shows goes through
// logAt to standard error, unbuffered, exactly as formatted.
#pragma once

// 0 shows only the usage text, 9 shows the full trace. Only the command
// line changes it; it starts at 3 so that progress shows without options.
extern int verbosity;

// Writes the formatted text to standard error when level <= verbosity.
void logAt(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
