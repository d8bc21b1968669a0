// The cutting of a file into parts, the sharing out of a gap, and the
// state file that carries the parts to a later run.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/file_parts.h"
#include "tests/support/in_process.h"
#include "tests/support/run_program.h"

namespace {

const std::int64_t kMiB = 1 << 20;

struct Span {
    std::int64_t first, next, end;
};

std::vector<Span> spansOf(const PartList& list) {
    std::vector<Span> spans;
    for (int index = 0; index < list.count; ++index) {
        spans.push_back({list.parts[index].first, list.parts[index].next, list.parts[index].end});
    }
    return spans;
}

bool operator==(const Span& left, const Span& right) {
    return left.first == right.first && left.next == right.next && left.end == right.end;
}

struct CutCase {
    const char* name;
    std::int64_t first, held, end;
    int connections;
    std::vector<Span> parts;
};

class Cutting : public testing::TestWithParam<CutCase> {};

TEST_P(Cutting, GivesEachConnectionAPartOfOneMiBOrMore) {
    const CutCase& cut = GetParam();
    PartList list;
    cutIntoParts(list, cut.first, cut.held, cut.end, cut.connections, kMiB);
    EXPECT_TRUE(spansOf(list) == cut.parts);
}

const CutCase kCutCases[] = {
    {"FourEqualParts", 0, 0, 4 * kMiB, 4, {{0, 0, kMiB}, {kMiB, kMiB, 2 * kMiB}, {2 * kMiB, 2 * kMiB, 3 * kMiB}, {3 * kMiB, 3 * kMiB, 4 * kMiB}}},
    {"FewerPartsThanConnections", 0, 0, 3000000, 8, {{0, 0, 1500000}, {1500000, 1500000, 3000000}}},
    {"StoredStartOpensFirstPart", 100, 2100, 2100 + 2 * kMiB, 4, {{100, 2100, 2100 + kMiB}, {2100 + kMiB, 2100 + kMiB, 2100 + 2 * kMiB}}},
    {"TooSmallStaysWhole", 0, 0, kMiB + 5, 4, {{0, 0, kMiB + 5}}},
};

INSTANTIATE_TEST_SUITE_P(Parts, Cutting, testing::ValuesIn(kCutCases), nameOf<CutCase>);

TEST(Parts, FreeConnectionTakesHalfOfLargestGapThenJoinsFinished) {
    PartList list;
    std::int64_t starts[] = {0};
    std::int64_t ends[] = {kMiB};
    ASSERT_EQ(1, partsFromRanges(list, 0, 7 * kMiB, starts, ends, 1));
    EXPECT_EQ(-1, splitLargestGap(list, 6 * kMiB));
    EXPECT_EQ(1, splitLargestGap(list, 2 * kMiB));
    EXPECT_TRUE(spansOf(list) == std::vector<Span>({{0, kMiB, 4 * kMiB}, {4 * kMiB, 4 * kMiB, 7 * kMiB}}));
    list.parts[0].next = 4 * kMiB;
    list.parts[1].slot = 2;
    joinFinishedParts(list);
    EXPECT_TRUE(spansOf(list) == std::vector<Span>({{0, 4 * kMiB, 7 * kMiB}}));
    EXPECT_EQ(2, list.parts[0].slot);
}

TEST(Parts, RangesOutOfOrderOrPastTheEndAreRefused) {
    PartList list;
    std::int64_t starts[] = {10, 5};
    std::int64_t ends[] = {20, 8};
    EXPECT_EQ(0, partsFromRanges(list, 0, 100, starts, ends, 2));
    EXPECT_EQ(0, partsFromRanges(list, 0, 15, starts, ends, 1));
    EXPECT_EQ(1, partsFromRanges(list, 0, 100, starts, ends, 1));
    EXPECT_TRUE(spansOf(list) == std::vector<Span>({{0, 0, 10}, {10, 20, 100}}));
}

// Every line of a state file must read as written: anything else makes
// the whole file unreadable, so that no gap is ever taken for data.
TEST(PartsState, ReadsWhatWasWrittenAndRefusesAnythingElse) {
    ScratchDirectory scratch;
    std::string name = scratch.path + "f.webhaul";
    PartsState written;
    assignText(written.address, "http://127.0.0.1/f");
    assignText(written.partsAddress, "http://127.0.0.1:8080/g");
    written.totalLength = 5000;
    std::snprintf(written.validator, sizeof written.validator, "\"tag 1\"");
    written.validatorIsTag = 1;
    written.starts[0] = 0, written.ends[0] = 100, written.starts[1] = 300, written.ends[1] = 400;
    written.rangeCount = 2;
    BoundedString note;
    ASSERT_EQ(1, writePartsState(name.c_str(), written, note));
    PartsState read;
    ASSERT_EQ(stateRead, readPartsState(name.c_str(), read));
    EXPECT_STREQ("http://127.0.0.1:8080/g", textOf(read.partsAddress));
    EXPECT_STREQ("\"tag 1\"", read.validator);
    EXPECT_EQ(2, read.rangeCount);
    EXPECT_EQ(400, read.ends[1]);
    std::string text;
    ASSERT_TRUE(readFileBytes(name, text));
    const std::string broken[] = {text.substr(0, text.size() - 4), "x" + text, text + "stored 1 2\n",
                                  text.substr(0, text.find("stored")) + "stored 1x 2\nend\n"};
    for (const std::string& damaged : broken) {
        ASSERT_TRUE(writeFileBytes(name, damaged));
        EXPECT_EQ(stateUnreadable, readPartsState(name.c_str(), read)) << damaged;
    }
    EXPECT_EQ(stateMissing, readPartsState((name + "x").c_str(), read));
}

}  // namespace
