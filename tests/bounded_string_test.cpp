#include <gtest/gtest.h>

#include <string>

#include "support/bounded_string.h"
#include "tests/support/in_process.h"

namespace {

std::string contentOf(const BoundedString& text) { return std::string(textOf(text), static_cast<size_t>(text.length)); }

struct AssignCase {
    const char* name;
    const char* bytes;   // null: an absent text
    int count;
    int expectedLength;
};

void PrintTo(const AssignCase& c, std::ostream* os) { *os << c.name; }

class AssignBytes : public testing::TestWithParam<AssignCase> {};

TEST_P(AssignBytes, KeepsLengthAndTerminator) {
    const AssignCase& c = GetParam();
    BoundedString text("previous");
    assignBytes(text, c.bytes, c.count);
    ASSERT_EQ(c.expectedLength, text.length);
    ASSERT_NE(nullptr, text.buffer);
    EXPECT_EQ('\0', text.buffer[text.length]);
    if (c.bytes != nullptr) {
        EXPECT_EQ(std::string(c.bytes, static_cast<size_t>(c.expectedLength)), contentOf(text));
    }
}

const std::string kLongText(kBoundedStringCap + 10, 'x');

INSTANTIATE_TEST_SUITE_P(Cases, AssignBytes,
    testing::Values(AssignCase{"NegativeCountGivesEmpty", "abc", -5, 0},
                    AssignCase{"AbsentBytesGiveEmpty", nullptr, 7, 0},
                    AssignCase{"ZeroBytesAreKept", "a\0b", 3, 3},
                    AssignCase{"CountAtCapKeptWhole", kLongText.c_str(), kBoundedStringCap, kBoundedStringCap},
                    AssignCase{"CountAboveCapIsCut", kLongText.c_str(), kBoundedStringCap + 1, kBoundedStringCap},
                    AssignCase{"SameLengthOverwrites", "12345678", 8, 8}), CaseName());

TEST(BoundedString, NeverAssignedReadsAsEmptyText) {
    BoundedString text;
    EXPECT_EQ(0, text.length);
    ASSERT_NE(nullptr, textOf(text));
    EXPECT_STREQ("", textOf(text));
}

TEST(BoundedString, TextLongerThanCapKeepsItsStart) {
    std::string longer(70000, 'q');
    longer[kBoundedStringCap - 1] = 'z';
    BoundedString text(longer.c_str());
    EXPECT_EQ(kBoundedStringCap, text.length);
    EXPECT_EQ(longer.substr(0, kBoundedStringCap), textOf(text));
}

TEST(BoundedString, AbsentAndEmptyTextsGiveEmptyString) {
    BoundedString text("filled");
    assignText(text, nullptr);
    EXPECT_STREQ("", textOf(text));
    EXPECT_EQ(0, text.length);
    assignText(text, "");
    EXPECT_STREQ("", textOf(text));
    EXPECT_EQ(0, text.length);
}

TEST(BoundedString, SelfAssignmentLeavesItUnchanged) {
    BoundedString text("unchanged");
    BoundedString& alias = text;
    text = alias;
    EXPECT_STREQ("unchanged", textOf(text));
    text = std::move(alias);
    EXPECT_STREQ("unchanged", textOf(text));
    EXPECT_EQ(9, text.length);
}

// The source may lie inside the buffer that the assignment replaces.
TEST(BoundedString, AssignFromOwnBufferWithOtherLength) {
    BoundedString text("abcdefgh");
    assignBytes(text, text.buffer + 2, 3);
    EXPECT_STREQ("cde", textOf(text));
    assignText(text, text.buffer + 1);
    EXPECT_STREQ("de", textOf(text));
}

TEST(BoundedString, CopyOwnsItsBuffer) {
    BoundedString original("first");
    BoundedString copy(original);
    BoundedString assigned;
    assigned = original;
    assignText(original, "other");
    EXPECT_STREQ("first", textOf(copy));
    EXPECT_STREQ("first", textOf(assigned));
    EXPECT_NE(copy.buffer, original.buffer);
}

TEST(BoundedString, MoveLeavesSourceEmpty) {
    BoundedString source("moved");
    BoundedString target(std::move(source));
    EXPECT_STREQ("moved", textOf(target));
    EXPECT_STREQ("", textOf(source));
    EXPECT_EQ(0, source.length);
}

TEST(BoundedString, FormattedValueStopsAt999Characters) {
    std::string wide(5000, 'w');
    BoundedString text;
    assignFormat(text, "%s:%d", wide.c_str(), 7);
    EXPECT_EQ(999, text.length);
    EXPECT_EQ(wide.substr(0, 999), textOf(text));
    assignFormat(text, "recv: %s\n", "Connection reset");
    EXPECT_STREQ("recv: Connection reset\n", textOf(text));
}

}  // namespace
