// A reference model of how the program reads a decimal integer, for the
// fuzz targets to compare the program's reading against.
#pragma once

#include <cstdint>
#include <string>

inline bool isScanSpace(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' || byte == '\r';
}

inline bool isDigit(char byte) { return byte >= '0' && byte <= '9'; }

// Reads a decimal integer as strtoll does (white space, sign, digits,
// saturating). Returns the index after it, or 0 when there is none.
inline size_t readInteger(const std::string& text, size_t at, std::int64_t& value) {
    while (at < text.size() && isScanSpace(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    if (at >= text.size() || !isDigit(text[at])) return 0;
    const std::uint64_t limit = std::uint64_t(1) << 63;
    std::uint64_t magnitude = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        if (magnitude > (UINT64_MAX - 9) / 10) magnitude = limit + 1;
        if (magnitude > limit) continue;
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[at] - '0');
        if (magnitude > limit) magnitude = limit + 1;
    }
    if (negative) {
        value = magnitude >= limit ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
    } else {
        value = magnitude >= limit ? INT64_MAX : static_cast<std::int64_t>(magnitude);
    }
    return at;
}
