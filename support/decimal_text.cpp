#include "support/decimal_text.h"

#include <cstring>

#include "support/format_text.h"

namespace {

// Writes the digits of value and a terminating zero. Returns the length.
int writeUnsigned(char* out, std::uint64_t value) {
    char reversed[kDecimalRoom];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int index = 0; index < count; ++index) out[index] = reversed[count - 1 - index];
    out[count] = '\0';
    return count;
}

// Returns value times ten rounded to nearest, a tie to even, worked out
// exactly from its bits; -1 for a value this does not take: negative
// (-0.0 too), 1e15 or more, infinite or not a number. None of those comes
// from counts of bytes.
std::int64_t roundedTenths(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if ((bits >> 63) != 0 || !(value < 1e15)) return -1;
    int exponent = static_cast<int>(bits >> 52);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    if (exponent != 0) mantissa |= std::uint64_t{1} << 52;
    // value is mantissa / 2^shift; below 1e15 the shift is at least 3, and
    // from 58 on ten times value is below one half.
    int shift = 1075 - (exponent != 0 ? exponent : 1);
    if (shift >= 58) return 0;
    std::uint64_t scaled = mantissa * 10;
    std::uint64_t half = std::uint64_t{1} << (shift - 1);
    std::uint64_t rest = scaled & ((half << 1) - 1);
    std::uint64_t tenths = scaled >> shift;
    if (rest > half || (rest == half && (tenths & 1) != 0)) ++tenths;
    return static_cast<std::int64_t>(tenths);
}

}  // namespace

int writeDecimal(char* out, std::int64_t value) {
    if (value >= 0) return writeUnsigned(out, static_cast<std::uint64_t>(value));
    out[0] = '-';
    return 1 + writeUnsigned(out + 1, 0 - static_cast<std::uint64_t>(value));
}

int writeOneDecimal(char* out, int capacity, double value) {
    std::int64_t tenths = roundedTenths(value);
    if (tenths < 0) return formatInto(out, capacity, "%.1f", value);
    char text[kDecimalRoom + 2];
    int length = writeDecimal(text, tenths / 10);
    text[length++] = '.';
    text[length++] = static_cast<char>('0' + tenths % 10);
    text[length] = '\0';
    return formatInto(out, capacity, "%s", text);
}
