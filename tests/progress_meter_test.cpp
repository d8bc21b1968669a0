#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "support/progress_meter.h"
#include "tests/support/in_process.h"

namespace {

const std::int64_t kKiB = 1024;
const std::int64_t kMiB = 1024 * kKiB;
const std::int64_t kGiB = 1024 * kMiB;

struct SizeCase {
    const char* name;
    std::int64_t bytes;
    const char* text;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class FormatSize : public testing::TestWithParam<SizeCase> {};

TEST_P(FormatSize, InBinaryUnits) {
    char text[32];
    int length = formatSize(text, sizeof text, GetParam().bytes);
    EXPECT_STREQ(GetParam().text, text);
    EXPECT_EQ(static_cast<int>(std::string(text).size()), length);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FormatSize,
    testing::Values(SizeCase{"Zero", 0, "0 B"}, SizeCase{"Negative", -5, "0 B"}, SizeCase{"Bytes", 512, "512 B"},
                    SizeCase{"LastBytes", 1023, "1023 B"}, SizeCase{"OneKiB", kKiB, "1.0 KiB"},
                    SizeCase{"HalfKiB", 1536, "1.5 KiB"}, SizeCase{"BelowRoundUp", 1048524, "1023.9 KiB"},
                    SizeCase{"RoundsIntoMiB", 1048525, "1.0 MiB"}, SizeCase{"Megabytes", 12897485, "12.3 MiB"},
                    SizeCase{"TwoHundredMiB", 200 * kMiB, "200.0 MiB"}, SizeCase{"TwoGiB", 2 * kGiB, "2.0 GiB"},
                    SizeCase{"TiB", 1536 * kGiB, "1.5 TiB"}, SizeCase{"HugeStaysTiB", 4096 * 1024 * kGiB, "4096.0 TiB"}),
    CaseName());

TEST(FormatSize, CutToCapacity) {
    char text[4];
    EXPECT_EQ(3, formatSize(text, sizeof text, 12897485));
    EXPECT_STREQ("12.", text);
}

struct DurationCase {
    std::int64_t seconds;
    const char* text;
};

TEST(FormatDuration, MinutesThenHours) {
    const DurationCase cases[] = {{0, "0:00"},       {-3, "0:00"},       {58, "0:58"},         {62, "1:02"},
                                  {3599, "59:59"}, {3600, "1:00:00"}, {20972, "5:49:32"}, {360000, "100:00:00"}};
    for (const DurationCase& c : cases) {
        char text[32];
        formatDuration(text, sizeof text, c.seconds);
        EXPECT_STREQ(c.text, text) << c.seconds << " s";
    }
}

struct MeterCase {
    const char* name;
    int width;
    std::int64_t stored;
    std::int64_t total;  // -1: unknown
    double rate;         // negative: not known yet
    const char* line;
};

void PrintTo(const MeterCase& c, std::ostream* os) { *os << c.name; }

class MeterLine : public testing::TestWithParam<MeterCase> {};

// Every line fits in width - 1 columns, so the terminal never wraps it.
TEST_P(MeterLine, FitsWidth) {
    const MeterCase& meter = GetParam();
    char line[256];
    int length = formatMeterLine(line, sizeof line, meter.width, meter.stored, meter.total, meter.rate);
    EXPECT_EQ(meter.line, std::string(line));
    EXPECT_EQ(static_cast<int>(std::string(line).size()), length);
    EXPECT_LE(length, meter.width > 0 ? meter.width - 1 : 0);
}

// 12.3 MiB of 200 MiB at 3.2 MiB/s: 59 s left.
const std::int64_t kStored = 12897485;
const std::int64_t kTotal = 200 * kMiB;
const double kRate = 3355443.0;

const MeterCase kMeterCases[] = {
    {"Full80", 80, kStored, kTotal, kRate, "  12.3 MiB / 200.0 MiB   6.1%   3.2 MiB/s   0:59 left"},
    {"FullJustFits", 54, kStored, kTotal, kRate, "  12.3 MiB / 200.0 MiB   6.1%   3.2 MiB/s   0:59 left"},
    {"NoTimeLeftOneShort", 53, kStored, kTotal, kRate, "  12.3 MiB / 200.0 MiB   6.1%   3.2 MiB/s"},
    {"NoTimeLeft50", 50, kStored, kTotal, kRate, "  12.3 MiB / 200.0 MiB   6.1%   3.2 MiB/s"},
    {"NoRateOneShort", 41, kStored, kTotal, kRate, "  12.3 MiB / 200.0 MiB   6.1%"},
    {"NoRate30", 30, kStored, kTotal, kRate, "  12.3 MiB / 200.0 MiB   6.1%"},
    {"NoTotalOneShort", 29, kStored, kTotal, kRate, "  12.3 MiB   6.1%"},
    {"NoTotal20", 20, kStored, kTotal, kRate, "  12.3 MiB   6.1%"},
    {"PercentOnly17", 17, kStored, kTotal, kRate, "6.1%"},
    {"PercentOnly10", 10, kStored, kTotal, kRate, "6.1%"},
    {"PercentCut", 4, kStored, kTotal, kRate, "6.1"},
    {"NoRoomAtAll", 1, kStored, kTotal, kRate, ""},
    {"NoWidth", 0, kStored, kTotal, kRate, ""},
    {"RateNotKnownYet", 80, kStored, kTotal, -1.0, "  12.3 MiB / 200.0 MiB   6.1%"},
    {"StalledHasNoTimeLeft", 80, kStored, kTotal, 0.0, "  12.3 MiB / 200.0 MiB   6.1%   0 B/s"},
    {"Complete", 80, kTotal, kTotal, kRate, "  200.0 MiB / 200.0 MiB   100.0%   3.2 MiB/s   0:00 left"},
    {"AlmostCompleteIsNot100", 80, kTotal - 1, kTotal, kRate, "  200.0 MiB / 200.0 MiB   99.9%   3.2 MiB/s   0:01 left"},
    {"MoreThanAnnounced", 80, 2048, 1024, 100.0, "  2.0 KiB / 1.0 KiB   200.0%   100 B/s   0:00 left"},
    {"EmptyFile", 80, 0, 0, -1.0, "  0 B / 0 B   100.0%"},
    {"HoursLeft", 80, 0, 2 * kGiB, 102400.0, "  0 B / 2.0 GiB   0.0%   100.0 KiB/s   5:49:32 left"},
    {"TooLongToSay", 80, 0, 2 * kGiB, 1.0, "  0 B / 2.0 GiB   0.0%   1 B/s"},
    {"UnknownTotal80", 80, 512, -1, 1536.0, "  512 B   1.5 KiB/s"},
    {"UnknownTotalNoRate", 80, 512, -1, -1.0, "  512 B"},
    {"UnknownTotal10", 10, kStored, -1, kRate, "12.3 MiB"},
    {"UnknownTotalCut", 5, 512, -1, 1536.0, "512 "},
};

INSTANTIATE_TEST_SUITE_P(Widths, MeterLine, testing::ValuesIn(kMeterCases), CaseName());

// Whatever the width, the sizes and the rate, no line reaches the last column.
TEST(MeterLine, NeverReachesLastColumn) {
    const std::int64_t sizes[] = {0, 1023, 1048524, kStored, 999 * kGiB, 5000 * kGiB};
    const double rates[] = {-1.0, 0.0, 1.0, 1023.9, kRate, 3.0 * kGiB};
    char line[256];
    for (int width = 0; width <= 90; ++width) {
        for (std::int64_t stored : sizes) {
            for (std::int64_t total : {std::int64_t(-1), std::int64_t(0), 5000 * kGiB}) {
                for (double rate : rates) {
                    int length = formatMeterLine(line, sizeof line, width, stored, total, rate);
                    ASSERT_LE(length, width > 0 ? width - 1 : 0) << width << " " << stored << " " << total << " " << rate;
                    ASSERT_EQ(static_cast<int>(std::string(line).size()), length);
                }
            }
        }
    }
}

TEST(MeterLine, CutToCapacity) {
    char line[8];
    EXPECT_EQ(4, formatMeterLine(line, sizeof line, 80, kStored, kTotal, kRate));
    EXPECT_STREQ("6.1%", line);
}

struct ClosingCase {
    const char* name;
    int width;
    std::int64_t stored;
    std::int64_t elapsedMillis;
    const char* line;
};

void PrintTo(const ClosingCase& c, std::ostream* os) { *os << c.name; }

class ClosingLine : public testing::TestWithParam<ClosingCase> {};

TEST_P(ClosingLine, FitsWidth) {
    const ClosingCase& closing = GetParam();
    char line[256];
    int length = formatClosingLine(line, sizeof line, closing.width, closing.stored, closing.elapsedMillis);
    EXPECT_EQ(closing.line, std::string(line));
    EXPECT_LE(length, closing.width - 1);
}

INSTANTIATE_TEST_SUITE_P(Widths, ClosingLine,
    testing::Values(ClosingCase{"Full", 80, kTotal, 62000, "200.0 MiB in 1:02, average 3.2 MiB/s"},
                    ClosingCase{"RoundsToNearestSecond", 80, kTotal, 61500, "200.0 MiB in 1:02, average 3.3 MiB/s"},
                    ClosingCase{"NoAverage30", 30, kTotal, 62000, "200.0 MiB in 1:02"},
                    ClosingCase{"SizeOnly10", 10, kTotal, 62000, "200.0 MiB"},
                    ClosingCase{"SizeCut", 5, kTotal, 62000, "200."},
                    ClosingCase{"NoTimeNoAverage", 80, 512, 0, "512 B in 0:00"},
                    ClosingCase{"UnderASecond", 80, 512, 400, "512 B in 0:00, average 1.3 KiB/s"}),
    CaseName());

struct RedrawCase {
    const char* name;
    int width;
    const char* line;
    int previousLength;
    const char* drawn;
};

void PrintTo(const RedrawCase& c, std::ostream* os) { *os << c.name; }

class Redraw : public testing::TestWithParam<RedrawCase> {};

TEST_P(Redraw, CoversPreviousLine) {
    char drawn[256];
    int length = formatRedraw(drawn, sizeof drawn, GetParam().width, GetParam().line, GetParam().previousLength);
    EXPECT_EQ(GetParam().drawn, std::string(drawn));
    EXPECT_EQ(static_cast<int>(std::string(drawn).size()), length);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Redraw,
    testing::Values(RedrawCase{"First", 80, "abc", 0, "\rabc"}, RedrawCase{"Longer", 80, "abcdef", 3, "\rabcdef"},
                    RedrawCase{"Shorter", 80, "abc", 6, "\rabc   "},
                    // After the terminal shrank, spaces stop short of its last column.
                    RedrawCase{"Shrunk", 6, "abc", 20, "\rabc  "}),
    CaseName());

// Feeds a steady rate: bytesPerStep every stepMillis from fromMillis to
// toMillis, continuing from bytes. Returns the bytes at the end.
std::int64_t feed(RateTracker& tracker, std::int64_t fromMillis, std::int64_t toMillis, std::int64_t stepMillis,
                  std::int64_t bytesPerStep, std::int64_t bytes) {
    for (std::int64_t at = fromMillis; at <= toMillis; at += stepMillis) {
        addRateSample(tracker, at, bytes);
        bytes += bytesPerStep;
    }
    return bytes - bytesPerStep;
}

TEST(RateTracker, UnknownUntilSamplesSpanTime) {
    RateTracker tracker;
    EXPECT_EQ(-1.0, currentRate(tracker));
    addRateSample(tracker, 1000, 0);
    EXPECT_EQ(-1.0, currentRate(tracker));
    addRateSample(tracker, 1150, 1500);
    EXPECT_EQ(-1.0, currentRate(tracker));
    addRateSample(tracker, 1200, 2000);
    EXPECT_DOUBLE_EQ(10000.0, currentRate(tracker));
}

TEST(RateTracker, SteadyRateWithManySamples) {
    RateTracker tracker;
    // A sample every millisecond, 10 bytes each, for 10 s: 10000 B/s.
    feed(tracker, 0, 10000, 1, 10, 0);
    EXPECT_DOUBLE_EQ(10000.0, currentRate(tracker));
}

TEST(RateTracker, OnlyTheLastSecondsCount) {
    RateTracker tracker;
    std::int64_t bytes = feed(tracker, 0, 10000, 100, 1000, 0);  // 10000 B/s
    feed(tracker, 10100, 20000, 100, 100, bytes + 100);          // then 1000 B/s
    EXPECT_DOUBLE_EQ(1000.0, currentRate(tracker));
}

TEST(RateTracker, StallLongerThanWindowShowsAsSlow) {
    RateTracker tracker;
    std::int64_t bytes = feed(tracker, 0, 1000, 100, 1000, 0);
    addRateSample(tracker, 11000, bytes);
    EXPECT_DOUBLE_EQ(0.0, currentRate(tracker));
    // Over the last 5 s: 4 s of nothing, then 20000 bytes.
    addRateSample(tracker, 12000, bytes + 20000);
    EXPECT_DOUBLE_EQ(4000.0, currentRate(tracker));
}

TEST(RateTracker, FileStartedOverStartsAnew) {
    RateTracker tracker;
    std::int64_t bytes = feed(tracker, 0, 3000, 100, 1000, 0);
    addRateSample(tracker, 3100, bytes / 2);
    EXPECT_EQ(-1.0, currentRate(tracker));
    addRateSample(tracker, 3600, bytes / 2 + 1000);
    EXPECT_DOUBLE_EQ(2000.0, currentRate(tracker));
}

// Standard error on a pseudo-terminal whose width the test sets, so that
// the real terminal (if any) plays no part.
struct FakeTerminal {
    int controller = -1;
    int follower = -1;
    int savedError = -1;
};

void setColumns(FakeTerminal& terminal, unsigned short columns) {
    winsize size = {};
    size.ws_row = 24;
    size.ws_col = columns;
    ioctl(terminal.follower, TIOCSWINSZ, &size);
}

TEST(TerminalColumns, ReadAgainAfterResizeSignal) {
    FakeTerminal terminal;
    terminal.controller = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_LE(0, terminal.controller);
    ASSERT_EQ(0, grantpt(terminal.controller));
    ASSERT_EQ(0, unlockpt(terminal.controller));
    terminal.follower = open(ptsname(terminal.controller), O_RDWR | O_NOCTTY);
    ASSERT_LE(0, terminal.follower);
    setColumns(terminal, 37);
    terminal.savedError = dup(2);
    dup2(terminal.follower, 2);
    std::raise(SIGWINCH);
    int first = terminalColumns();
    setColumns(terminal, 52);
    int beforeSignal = terminalColumns();
    std::raise(SIGWINCH);
    int afterSignal = terminalColumns();
    int nowhere = open("/dev/null", O_WRONLY);
    dup2(nowhere, 2);
    std::raise(SIGWINCH);
    int onNoTerminal = terminalColumns();
    dup2(terminal.savedError, 2);
    for (int fd : {nowhere, terminal.savedError, terminal.follower, terminal.controller}) close(fd);
    EXPECT_EQ(37, first);
    EXPECT_EQ(37, beforeSignal);
    EXPECT_EQ(52, afterSignal);
    EXPECT_EQ(80, onNoTerminal);
}

}  // namespace
