// The progress line of a transfer. Written anywhere but a terminal it is
// "\rReceived <bytes>/<length> (<percent>%)..." after every body block,
// byte for byte as scripts read it. On a terminal it is a meter for people:
// what the file holds of its whole length in binary units, the percentage,
// the rate over the last seconds and the time left, fitted to the
// terminal's width and redrawn at most ten times a second.
#pragma once

#include <cstdint>

struct ProgressLine {
    int onTerminal = 0;
    std::int64_t fileBase = 0;    // bytes the file held before this body
    std::int64_t fileTotal = -1;  // the file's length once this body is whole; -1: unknown
    std::int64_t drawnAt = 0;
    int drawnOnce = 0;
    int heldBack = 0;             // a count came too soon after the last redraw
    std::int64_t heldBodyBytes = 0;
    std::int64_t heldLength = 0;
    int drawnLength = 0;          // columns of the meter line now on the terminal
    int lineOpen = 0;             // a count stands on the current line, not ended yet
};

// Starts the progress line of one attempt.
void startProgress(ProgressLine& line);

// Tells the meter where this reply's body stands in the file.
void placeProgress(ProgressLine& line, std::int64_t fileBase, std::int64_t fileTotal);

// Shows the count of body bytes after a block, at level 3.
void showProgress(ProgressLine& line, std::int64_t bodyBytes, std::int64_t progressLength);

// Ends the progress line, drawing first the count that was held back.
void endProgress(ProgressLine& line);

// Ends the line the counts stand on, when one does, so that a message can
// follow on a line of its own; the next count begins a new line.
void breakProgressLine(ProgressLine& line);

// Ends a progress line that never began: the reply's body is not read.
void dropProgress(ProgressLine& line);

// Ends the meter of the attempt in progress on a terminal, when one is
// drawn, so that a message can follow on a line of its own.
void endActiveProgress();

// On a terminal, writes at level 3 the closing line: the file's bytes, the
// time since the first attempt began and the average rate.
void showClosingLine(std::int64_t fileBytes);
