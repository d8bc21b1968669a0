#include "support/shown_text.h"

#include <cstring>

namespace {

// Returns 1 for a byte that is shown as \xNN.
int isShownEscaped(unsigned char byte) { return (byte < 0x20 && byte != '\t') || byte >= 0x7f; }

}  // namespace

void appendEscaped(BoundedString& text, const char* bytes, int count) {
    static const char kHexDigits[] = "0123456789abcdef";
    // Gathered in pieces, each made of whole escapes: one append per piece
    // rather than one per byte.
    char piece[1024];
    int length = 0;
    for (int index = 0; index < count; ++index) {
        unsigned char byte = static_cast<unsigned char>(bytes[index]);
        if (length > static_cast<int>(sizeof piece) - 4) {
            if (!appendBytes(text, piece, length)) return;
            length = 0;
        }
        if (!isShownEscaped(byte)) {
            piece[length++] = static_cast<char>(byte);
            continue;
        }
        piece[length++] = '\\';
        piece[length++] = 'x';
        piece[length++] = kHexDigits[byte >> 4];
        piece[length++] = kHexDigits[byte & 15];
    }
    appendBytes(text, piece, length);
}

void appendEscapedCut(BoundedString& text, const char* bytes, int count, int limit) {
    appendEscaped(text, bytes, count < limit ? count : limit);
    if (count > limit) appendBytes(text, "...", 3);
}

BoundedString escapedCopy(const char* text) {
    BoundedString shown;
    if (text != nullptr) appendEscaped(shown, text, static_cast<int>(std::strlen(text)));
    return shown;
}
