// Numbers in decimal without printf, for the progress line a plain run
// draws on every block: printf's digit tables and floating-point code lie
// on pages of the C library that nothing else in such a run touches.
#pragma once

#include <cstdint>

// Room for any count writeDecimal writes, sign and terminator included.
const int kDecimalRoom = 21;

// Writes value in decimal, a minus sign first when negative, and a
// terminating zero into out, which has kDecimalRoom bytes. Returns the
// length.
int writeDecimal(char* out, std::int64_t value);

// Writes value with one decimal exactly as printf's "%.1f" does (to
// nearest, a tie to even), cut to capacity - 1. Returns the length.
int writeOneDecimal(char* out, int capacity, double value);
