#include "support/ascii_text.h"

#include <cctype>

int equalIgnoringCase(const char* text, const char* other, int count) {
    for (int index = 0; index < count; ++index) {
        if (asciiLower(text[index]) != asciiLower(other[index])) return 0;
    }
    return 1;
}

int schemeWordLength(const char* text) {
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
    int length = 1;
    for (;; ++length) {
        char next = text[length];
        if (!std::isalnum(static_cast<unsigned char>(next)) && next != '+' && next != '-' && next != '.') return length;
    }
}


int hexDigitValue(char character) {
    if (character >= '0' && character <= '9') return character - '0';
    if (character >= 'a' && character <= 'f') return character - 'a' + 10;
    if (character >= 'A' && character <= 'F') return character - 'A' + 10;
    return -1;
}
