#include "http/redirect.h"

#include <cstring>

#include "http/transfer.h"
#include "support/ascii_text.h"

namespace {

// A piece of a text: where it starts and how long it is; absent when the
// start is null (an empty query "?" is present, a missing one is not).
struct Piece {
    const char* start = nullptr;
    int length = 0;
};

// An address or a reference taken apart; the fragment is left out.
struct Reference {
    Piece scheme;
    Piece authority;
    Piece path;
    Piece query;
};

// Room for a merged path and the resolved address with every space
// escaped; the result must still fit a string at the cap.
const int kScratchCapacity = 4 * kBoundedStringCap;

// A text under construction that notes when it ran out of room.
struct Builder {
    char* text;
    int length = 0;
    int overflowed = 0;
};

void append(Builder& builder, const char* bytes, int count) {
    if (builder.length + count > kScratchCapacity) {
        builder.overflowed = 1;
        return;
    }
    std::memcpy(builder.text + builder.length, bytes, static_cast<size_t>(count));
    builder.length += count;
}

// Appends with each space and each byte of 0x80 and above
// percent-encoded, as a browser sends them.
void appendEncoded(Builder& builder, const char* bytes, int count) {
    static const char kHexDigits[] = "0123456789ABCDEF";
    for (int index = 0; index < count; ++index) {
        unsigned char byte = static_cast<unsigned char>(bytes[index]);
        if (byte == ' ' || byte >= 0x80) {
            char encoded[3] = {'%', kHexDigits[byte >> 4], kHexDigits[byte & 15]};
            append(builder, encoded, 3);
        } else {
            append(builder, bytes + index, 1);
        }
    }
}

// Takes text apart into scheme, authority, path and query.
void splitReference(const char* text, Reference& parts) {
    int length = schemeWordLength(text);
    if (length > 0 && text[length] == ':') {
        parts.scheme = {text, length};
        text += length + 1;
    }
    if (text[0] == '/' && text[1] == '/') {
        text += 2;
        parts.authority = {text, static_cast<int>(std::strcspn(text, "/?#"))};
        text += parts.authority.length;
    }
    parts.path = {text, static_cast<int>(std::strcspn(text, "?#"))};
    text += parts.path.length;
    if (*text == '?') parts.query = {text + 1, static_cast<int>(std::strcspn(text + 1, "#"))};
}

// Returns 1 when the piece is the word, letters compared without case.
int pieceIs(const Piece& piece, const char* word) {
    return piece.start != nullptr && piece.length == static_cast<int>(std::strlen(word)) &&
           equalIgnoringCase(piece.start, word, piece.length);
}

// Returns 1 when the piece starts with text.
int startsWith(const Piece& piece, const char* text) {
    int length = static_cast<int>(std::strlen(text));
    return piece.length >= length && std::memcmp(piece.start, text, static_cast<size_t>(length)) == 0;
}

// Drops the last segment of the output path and the "/" before it.
void dropLastSegment(Builder& output, int base) {
    while (output.length > base && output.text[output.length - 1] != '/') --output.length;
    if (output.length > base) --output.length;
}

// Returns 1 when the piece is exactly text.
int pieceEquals(const Piece& piece, const char* text) {
    return piece.length == static_cast<int>(std::strlen(text)) && startsWith(piece, text);
}

// Takes one step of dot-segment removal off the input. Returns 1 when it
// was a dot step, 0 when the input's first segment is a plain one.
int removeDotStep(Piece& input, Builder& output, int base) {
    static const char kRoot[] = "/";
    if (startsWith(input, "../") || startsWith(input, "./")) {
        int skip = input.start[0] == '.' && input.start[1] == '.' ? 3 : 2;
        input = {input.start + skip, input.length - skip};
    } else if (startsWith(input, "/./") || pieceEquals(input, "/.")) {
        input = startsWith(input, "/./") ? Piece{input.start + 2, input.length - 2} : Piece{kRoot, 1};
    } else if (startsWith(input, "/../") || pieceEquals(input, "/..")) {
        input = startsWith(input, "/../") ? Piece{input.start + 3, input.length - 3} : Piece{kRoot, 1};
        dropLastSegment(output, base);
    } else if (pieceEquals(input, ".") || pieceEquals(input, "..")) {
        input.length = 0;
    } else {
        return 0;
    }
    return 1;
}

// Appends the path with "." and ".." segments removed, as a browser does.
void appendWithoutDots(Builder& output, Piece input) {
    int base = output.length;
    while (input.length > 0) {
        if (removeDotStep(input, output, base)) continue;
        int segment = input.start[0] == '/' ? 1 : 0;
        while (segment < input.length && input.start[segment] != '/') ++segment;
        appendEncoded(output, input.start, segment);
        input = {input.start + segment, input.length - segment};
    }
}

// Appends a relative path merged onto the base's directory.
void appendMerged(Builder& output, const Reference& base, const Reference& reference) {
    static char merged[kScratchCapacity];
    Builder joined{merged};
    if (base.path.length == 0) {
        append(joined, "/", 1);
    } else {
        int directory = base.path.length;
        while (directory > 0 && base.path.start[directory - 1] != '/') --directory;
        append(joined, base.path.start, directory);
    }
    append(joined, reference.path.start, reference.path.length);
    output.overflowed |= joined.overflowed;
    appendWithoutDots(output, Piece{merged, joined.length});
}

// Appends the path and query of the reference as resolved against base.
void appendPathAndQuery(Builder& output, const Reference& base, const Reference& reference) {
    int start = output.length;
    Piece query = reference.query;
    if (reference.authority.start != nullptr || startsWith(reference.path, "/")) {
        appendWithoutDots(output, reference.path);
    } else if (reference.path.length == 0) {
        appendEncoded(output, base.path.start, base.path.length);
        if (query.start == nullptr) query = base.query;
    } else {
        appendMerged(output, base, reference);
    }
    if (output.length == start) append(output, "/", 1);
    if (query.start != nullptr) {
        append(output, "?", 1);
        appendEncoded(output, query.start, query.length);
    }
}

// Returns the length of the host an authority names: up to its ":port",
// a bracketed address whole.
int hostLengthOf(const Piece& authority) {
    const char* end = static_cast<const char*>(
        std::memchr(authority.start, authority.start[0] == '[' ? ']' : ':', static_cast<size_t>(authority.length)));
    if (end == nullptr) return authority.length;
    return static_cast<int>(end - authority.start) + (authority.start[0] == '[' ? 1 : 0);
}

// Returns the refusal the reference's scheme and authority call for, or
// redirectFollowed.
int judgeReference(const Reference& base, const Reference& reference) {
    if (reference.scheme.start != nullptr) {
        if (!pieceIs(reference.scheme, "http") && !pieceIs(reference.scheme, "https")) return redirectOtherScheme;
        if (reference.authority.start == nullptr) return redirectUnparsable;
        if (pieceIs(base.scheme, "https") && pieceIs(reference.scheme, "http")) return redirectDowngrade;
    }
    if (reference.authority.start != nullptr) {
        if (reference.authority.length == 0) return redirectUnparsable;
        if (hostLengthOf(reference.authority) > kLongestHostName) return redirectHostTooLong;
#ifdef _WIN32
        if (std::memchr(reference.authority.start, '[', static_cast<size_t>(reference.authority.length))) {
            return redirectNoIpv6;
        }
#endif
    }
    return redirectFollowed;
}

// Returns 1 when the text holds a byte that could end a request line.
int holdsControlByte(const char* text) {
    for (; *text != '\0'; ++text) {
        if (static_cast<unsigned char>(*text) < 32 || *text == 127) return 1;
    }
    return 0;
}

}  // namespace

int resolveLocation(const char* base, const char* location, BoundedString& target) {
    if (std::strlen(location) > static_cast<size_t>(kLongestLocation)) return redirectTooLong;
    if (holdsControlByte(location)) return redirectControlCharacter;
    Reference baseParts;
    Reference reference;
    splitReference(base, baseParts);
    splitReference(location, reference);
    int refusal = judgeReference(baseParts, reference);
    if (refusal != redirectFollowed) return refusal;
    static char resolved[kScratchCapacity];
    Builder output{resolved};
    const Reference& origin = reference.scheme.start != nullptr ? reference : baseParts;
    for (int index = 0; index < origin.scheme.length; ++index) {
        char lower = asciiLower(origin.scheme.start[index]);
        append(output, &lower, 1);
    }
    append(output, "://", 3);
    const Piece& authority = reference.authority.start != nullptr ? reference.authority : baseParts.authority;
    append(output, authority.start, authority.length);
    appendPathAndQuery(output, baseParts, reference);
    if (output.overflowed || output.length > kBoundedStringCap) return redirectTargetTooLong;
    assignBytes(target, resolved, output.length);
    return redirectFollowed;
}

const char* redirectRefusalLine(int refusal) {
    switch (refusal) {
        case redirectTooMany:
            return "Redirect not followed: more than 20 redirects\n";
        case redirectOtherScheme:
            return "Redirect not followed: the Location names a scheme other than http and https\n";
        case redirectDowngrade:
            return "Redirect not followed: it leads from https to plain http\n";
        case redirectControlCharacter:
            return "Redirect not followed: the Location holds a control character\n";
        case redirectTooLong:
            return "Redirect not followed: the Location is longer than 64 KiB\n";
        case redirectTargetTooLong:
            return "Redirect not followed: the address it leads to is too long\n";
        case redirectHostTooLong:
            return "Redirect not followed: the host name is too long\n";
        case redirectNoIpv6:
            return "Redirect not followed: IPv6 is not available on this platform\n";
        default:
            return "Redirect not followed: the Location cannot be parsed\n";
    }
}
