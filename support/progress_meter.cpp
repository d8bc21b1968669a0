#include "support/progress_meter.h"

#include <cinttypes>
#include <cstring>

#include "support/format_text.h"

namespace {

// Room for any one part of a line (a size, a rate, a duration, a percentage).
const int kPartCapacity = 32;
// Room for any whole line before it is fitted.
const int kLineCapacity = 256;
// Beyond this a time left says nothing useful (99:59:59).
const std::int64_t kLongestTimeLeft = 99 * 3600 + 59 * 60 + 59;

// The most columns a line may take: one less than the width, so the cursor
// stays off the last column, and no more than the buffer holds.
int lineLimit(int width, int capacity) {
    int limit = width - 1;
    if (limit > capacity - 1) limit = capacity - 1;
    return limit < 0 ? 0 : limit;
}

// Copies line into out when it fits in limit columns. Returns its length,
// or -1 (out untouched) when it does not fit.
int takeIfFits(char* out, int capacity, int limit, const char* line, int length) {
    if (length > limit || capacity <= 0) return -1;
    std::memcpy(out, line, static_cast<size_t>(length) + 1);
    return length;
}

// The last resort: the first limit columns of line.
int takeCut(char* out, int capacity, int limit, const char* line) {
    return formatInto(out, capacity, "%.*s", limit, line);
}

// Rounding without the maths library, whose mapping alone costs a plain
// run about 200 KiB of resident memory; every value rounded here is
// non-negative and far below 2^63.
long long roundedDown(double value) { return static_cast<long long>(value); }
long long roundedToNearest(double value) { return static_cast<long long>(value + 0.5); }

// Writes the percentage of total that stored is, rounded down so that
// 100.0% means complete. Returns the length.
int formatPercent(char* out, int capacity, std::int64_t stored, std::int64_t total) {
    long long tenths = 1000;
    if (total > 0) tenths = roundedDown(static_cast<double>(stored) * 1000.0 / static_cast<double>(total));
    return formatInto(out, capacity, "%lld.%lld%%", tenths / 10, tenths % 10);
}

// Writes the time until total at the given rate. Returns the length, or 0
// when there is nothing sensible to say (no rate, or too long).
int formatTimeLeft(char* out, int capacity, std::int64_t stored, std::int64_t total, double bytesPerSecond) {
    if (bytesPerSecond <= 0.0) return 0;
    double remaining = static_cast<double>(total > stored ? total - stored : 0);
    double exact = remaining / bytesPerSecond;
    if (exact > static_cast<double>(kLongestTimeLeft)) return 0;
    long long seconds = roundedDown(exact);
    if (static_cast<double>(seconds) < exact) ++seconds;
    return formatDuration(out, capacity, seconds);
}

// Writes a rate as a size per second. Returns the length.
int formatRate(char* out, int capacity, double bytesPerSecond) {
    char size[kPartCapacity];
    formatSize(size, sizeof size, roundedToNearest(bytesPerSecond));
    return formatInto(out, capacity, "%s/s", size);
}

// The meter line when the total is known, from the fullest form down.
int fitKnownTotal(char* out, int capacity, int limit, std::int64_t stored, std::int64_t total, double rate) {
    char storedText[kPartCapacity], totalText[kPartCapacity], percent[kPartCapacity];
    char rateText[kPartCapacity], left[kPartCapacity];
    formatSize(storedText, sizeof storedText, stored);
    formatSize(totalText, sizeof totalText, total);
    formatPercent(percent, sizeof percent, stored, total);
    int hasRate = rate >= 0.0;
    if (hasRate) formatRate(rateText, sizeof rateText, rate);
    int hasLeft = hasRate && formatTimeLeft(left, sizeof left, stored, total, rate) > 0;
    char line[kLineCapacity];
    int fitted = -1;
    if (hasLeft) {
        int length = formatInto(line, sizeof line, "  %s / %s   %s   %s   %s left", storedText, totalText, percent,
                                rateText, left);
        fitted = takeIfFits(out, capacity, limit, line, length);
    }
    if (fitted < 0 && hasRate) {
        int length = formatInto(line, sizeof line, "  %s / %s   %s   %s", storedText, totalText, percent, rateText);
        fitted = takeIfFits(out, capacity, limit, line, length);
    }
    if (fitted < 0) {
        int length = formatInto(line, sizeof line, "  %s / %s   %s", storedText, totalText, percent);
        fitted = takeIfFits(out, capacity, limit, line, length);
    }
    if (fitted < 0) {
        int length = formatInto(line, sizeof line, "  %s   %s", storedText, percent);
        fitted = takeIfFits(out, capacity, limit, line, length);
    }
    return fitted >= 0 ? fitted : takeCut(out, capacity, limit, percent);
}

// The meter line when the total is not known: the count and the rate.
int fitUnknownTotal(char* out, int capacity, int limit, std::int64_t stored, double rate) {
    char storedText[kPartCapacity], rateText[kPartCapacity];
    formatSize(storedText, sizeof storedText, stored);
    char line[kLineCapacity];
    int fitted = -1;
    if (rate >= 0.0) {
        formatRate(rateText, sizeof rateText, rate);
        int length = formatInto(line, sizeof line, "  %s   %s", storedText, rateText);
        fitted = takeIfFits(out, capacity, limit, line, length);
    }
    if (fitted < 0) {
        int length = formatInto(line, sizeof line, "  %s", storedText);
        fitted = takeIfFits(out, capacity, limit, line, length);
    }
    return fitted >= 0 ? fitted : takeCut(out, capacity, limit, storedText);
}

// Index of the sample that lies back steps before the newest.
int sampleIndex(const RateTracker& tracker, int back) {
    return (tracker.newest - back + kRateSampleCount) % kRateSampleCount;
}

}  // namespace

int formatSize(char* out, int capacity, std::int64_t bytes) {
    if (bytes < 0) bytes = 0;
    if (bytes < 1024) return formatInto(out, capacity, "%" PRId64 " B", bytes);
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    const int lastUnit = 3;
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    // Moves up while the value would show as 1024.0 or more of this unit.
    while (unit < lastUnit && roundedToNearest(value * 10.0) >= 10240) {
        value /= 1024.0;
        ++unit;
    }
    long long tenths = roundedToNearest(value * 10.0);
    return formatInto(out, capacity, "%lld.%lld %s", tenths / 10, tenths % 10, kUnits[unit]);
}

int formatDuration(char* out, int capacity, std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    std::int64_t hours = seconds / 3600;
    std::int64_t minutes = seconds / 60 % 60;
    std::int64_t rest = seconds % 60;
    if (hours == 0) return formatInto(out, capacity, "%" PRId64 ":%02" PRId64, minutes, rest);
    return formatInto(out, capacity, "%" PRId64 ":%02" PRId64 ":%02" PRId64, hours, minutes, rest);
}

void resetRate(RateTracker& tracker) { tracker = RateTracker(); }

void addRateSample(RateTracker& tracker, std::int64_t millis, std::int64_t bytes) {
    if (tracker.kept > 0 && (bytes < tracker.latestBytes || millis < tracker.latestMillis)) resetRate(tracker);
    tracker.latestMillis = millis;
    tracker.latestBytes = bytes;
    // Blocks may come thousands of times a second; the ring keeps one
    // sample per kRateSampleMillis and the latest stands in for the rest.
    if (tracker.kept > 0 && millis - tracker.sampleMillis[tracker.newest] < kRateSampleMillis) return;
    if (tracker.kept > 0) tracker.newest = (tracker.newest + 1) % kRateSampleCount;
    tracker.sampleMillis[tracker.newest] = millis;
    tracker.sampleBytes[tracker.newest] = bytes;
    if (tracker.kept < kRateSampleCount) ++tracker.kept;
}

double currentRate(const RateTracker& tracker) {
    if (tracker.kept == 0) return -1.0;
    // The count only moves when a sample comes, so the newest sample at or
    // before the window's start tells the count at that moment, stalls
    // included.
    std::int64_t windowStart = tracker.latestMillis - kRateWindowMillis;
    for (int back = 0; back < tracker.kept; ++back) {
        int index = sampleIndex(tracker, back);
        if (tracker.sampleMillis[index] <= windowStart) {
            return static_cast<double>(tracker.latestBytes - tracker.sampleBytes[index]) * 1000.0 /
                   static_cast<double>(kRateWindowMillis);
        }
    }
    // Younger than the window: the rate since the first sample.
    int oldest = sampleIndex(tracker, tracker.kept - 1);
    std::int64_t span = tracker.latestMillis - tracker.sampleMillis[oldest];
    if (span < kRateSampleMillis) return -1.0;
    return static_cast<double>(tracker.latestBytes - tracker.sampleBytes[oldest]) * 1000.0 / static_cast<double>(span);
}

int formatMeterLine(char* out, int capacity, int width, std::int64_t stored, std::int64_t total,
                    double bytesPerSecond) {
    int limit = lineLimit(width, capacity);
    if (total < 0) return fitUnknownTotal(out, capacity, limit, stored, bytesPerSecond);
    return fitKnownTotal(out, capacity, limit, stored, total, bytesPerSecond);
}

int formatClosingLine(char* out, int capacity, int width, std::int64_t stored, std::int64_t elapsedMillis) {
    int limit = lineLimit(width, capacity);
    char storedText[kPartCapacity], duration[kPartCapacity], average[kPartCapacity];
    formatSize(storedText, sizeof storedText, stored);
    formatDuration(duration, sizeof duration, (elapsedMillis + 500) / 1000);
    char line[kLineCapacity];
    int fitted = -1;
    if (elapsedMillis > 0) {
        formatRate(average, sizeof average, static_cast<double>(stored) * 1000.0 / static_cast<double>(elapsedMillis));
        int length = formatInto(line, sizeof line, "%s in %s, average %s", storedText, duration, average);
        fitted = takeIfFits(out, capacity, limit, line, length);
    }
    if (fitted < 0) {
        int length = formatInto(line, sizeof line, "%s in %s", storedText, duration);
        fitted = takeIfFits(out, capacity, limit, line, length);
    }
    return fitted >= 0 ? fitted : takeCut(out, capacity, limit, storedText);
}

int formatRedraw(char* out, int capacity, int width, const char* line, int previousLength) {
    int length = static_cast<int>(std::strlen(line));
    int cover = previousLength;
    if (cover > width - 1) cover = width - 1;
    int padding = cover > length ? cover - length : 0;
    return formatInto(out, capacity, "\r%s%*s", line, padding, "");
}
