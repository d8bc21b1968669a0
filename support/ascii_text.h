// Small tests on ASCII text that URLs, header lines and the environment
// share.
#pragma once

#include "support/bounded_string.h"

// Returns 1 when the count bytes at text and at other are the same letters
// without regard to case. Stops at the first difference, so a shorter
// zero-terminated text is never read past its end.
int equalIgnoringCase(const char* text, const char* other, int count);

// Returns the length of the scheme word that text begins with (a letter,
// then letters, digits, '+', '-' and '.'), 0 when it begins with none.
int schemeWordLength(const char* text);

// Returns the value of a hex digit, either case, or -1 for another byte.
int hexDigitValue(char character);

// Returns the letter in lower case, any other byte as it is. ASCII only,
// whatever the locale, and without the C library's case tables, which a
// plain run would otherwise map for this alone.
inline char asciiLower(char character) {
    return character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a') : character;
}
