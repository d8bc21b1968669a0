// The pieces of the progress meter that a person reads on a terminal: sizes
// in binary units, the rate over the last seconds, and the meter and closing
// lines fitted to the terminal's width. Pure: no clock, no terminal, no heap;
// the caller passes the time, the width and the byte counts in.
//
// Drawing: a meter line is shown as "\r", the line, and as many spaces as
// it takes to cover what is left of the line drawn before it (see
// formatRedraw). Lines are at most width - 1 columns, so that the cursor
// never reaches the last column and the terminal never wraps.
#pragma once

#include <cstdint>

// Samples closer together than this are folded into the newest one.
const std::int64_t kRateSampleMillis = 200;
// The rate is taken over about this much of the most recent time.
const std::int64_t kRateWindowMillis = 5000;
// Enough samples at kRateSampleMillis to span kRateWindowMillis and more.
const int kRateSampleCount = 32;

// The recent history of the byte count, in a fixed ring.
struct RateTracker {
    std::int64_t sampleMillis[kRateSampleCount] = {};
    std::int64_t sampleBytes[kRateSampleCount] = {};
    int newest = 0;  // index of the newest kept sample
    int kept = 0;    // samples in the ring, 0 before the first
    std::int64_t latestMillis = 0;
    std::int64_t latestBytes = 0;
};

// Writes a byte count as "512 B", "1.5 KiB", "12.3 MiB", "2.0 GiB" or
// "1.2 TiB". Returns the length written (cut to capacity - 1).
int formatSize(char* out, int capacity, std::int64_t bytes);

// Writes a duration in whole seconds as "m:ss", or "h:mm:ss" from an hour
// up. Returns the length written (cut to capacity - 1).
int formatDuration(char* out, int capacity, std::int64_t seconds);

// Forgets every sample.
void resetRate(RateTracker& tracker);

// Adds a sample: the time in milliseconds and the bytes stored by then. A
// count that went down (the file was started over) starts the history anew.
void addRateSample(RateTracker& tracker, std::int64_t millis, std::int64_t bytes);

// Returns bytes per second over the last kRateWindowMillis, or since the
// first sample while that is more recent; -1 while the samples span less
// than kRateSampleMillis.
double currentRate(const RateTracker& tracker);

// Writes the meter line fitted to width columns. The full form is
//   "  12.3 MiB / 200.0 MiB   6.1%   3.2 MiB/s   0:58 left";
// narrower widths drop the time left, then the rate, then the total, then
// keep the percentage alone, cut if need be. total -1 (unknown) gives no
// percentage and no time left, only the count and the rate; a negative
// rate gives neither rate nor time left, and 0 no time left. Returns the
// length, at most width - 1.
int formatMeterLine(char* out, int capacity, int width, std::int64_t stored, std::int64_t total,
                    double bytesPerSecond);

// Writes the closing line, "200.0 MiB in 1:02, average 3.2 MiB/s", fitted
// to width columns as the meter line is. Returns the length.
int formatClosingLine(char* out, int capacity, int width, std::int64_t stored, std::int64_t elapsedMillis);

// Writes "\r", the line, and spaces over the rest of the previous line
// (previousLength columns, never past width - 1). Returns the length.
int formatRedraw(char* out, int capacity, int width, const char* line, int previousLength);
