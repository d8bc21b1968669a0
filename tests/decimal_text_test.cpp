#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "support/decimal_text.h"

namespace {

std::string oneDecimal(double value, int capacity = 64) {
    char text[64];
    int length = writeOneDecimal(text, capacity, value);
    EXPECT_EQ(std::strlen(text), static_cast<size_t>(length)) << value;
    return text;
}

TEST(DecimalText, CountsWithTheirSign) {
    struct {
        std::int64_t value;
        const char* text;
    } const rows[] = {{0, "0"}, {7, "7"}, {-1, "-1"}, {1000000, "1000000"},
                      {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
                      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"}};
    for (const auto& row : rows) {
        char text[kDecimalRoom];
        EXPECT_EQ(static_cast<int>(std::strlen(row.text)), writeDecimal(text, row.value));
        EXPECT_STREQ(row.text, text);
    }
}

// Ties and near-ties: the exact value of the double decides, a true tie
// going to the even digit; values the bits path does not take, and a
// capacity that cuts, go as snprintf has them.
TEST(DecimalText, OneDecimalRoundsTheDoubleItself) {
    struct {
        double value;
        int capacity;
        const char* text;
    } const rows[] = {{0.0, 64, "0.0"},     {5e-324, 64, "0.0"},    {0.049999999999999996, 64, "0.0"},
                      {0.05, 64, "0.1"},    {0.15, 64, "0.1"},      {0.25, 64, "0.2"},
                      {0.35, 64, "0.3"},    {0.45, 64, "0.5"},      {0.75, 64, "0.8"},
                      {6.25, 64, "6.2"},    {99.95, 64, "100.0"},   {100.0, 64, "100.0"},
                      {-0.0, 64, "-0.0"},   {-1.25, 64, "-1.2"},    {1e15, 64, "1000000000000000.0"},
                      {123.45, 4, "123"},   {123.45, 1, ""}};
    for (const auto& row : rows) EXPECT_EQ(row.text, oneDecimal(row.value, row.capacity)) << row.value;
}

// Against the C library's own printing: percentages as the progress line
// works them out (small totals give true ties), and doubles of every
// magnitude the bits path takes.
TEST(DecimalText, OneDecimalMatchesPrintf) {
    std::mt19937_64 random(28);
    for (int round = 0; round < 200000; ++round) {
        double value = 0.0;
        if (round % 2 == 0) {
            std::int64_t total = static_cast<std::int64_t>(random() % (round % 4 == 0 ? 2000 : 10000000000LL)) + 1;
            std::int64_t received = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(total + 1));
            value = static_cast<double>(received) / static_cast<double>(total) * 100.0;
        } else {
            std::uint64_t bits = random() >> 1;
            std::memcpy(&value, &bits, sizeof value);
            if (!(value < 1e15)) continue;
        }
        char expected[64];
        std::snprintf(expected, sizeof expected, "%1.1f", value);
        ASSERT_EQ(expected, oneDecimal(value)) << value;
    }
}

}  // namespace
