#include "http/progress_line.h"

#include <cstdint>

#include "platform/platform.h"
#include "support/decimal_text.h"
#include "support/log.h"
#include "support/progress_meter.h"

namespace {

// A terminal's line is redrawn at most this often: nobody reads faster,
// and each redraw costs more there than the block it reports.
const std::int64_t kRedrawMillis = 100;

// Across attempts, so that the rate and the total time span the run.
RateTracker runRate;
std::int64_t runStartMillis = -1;
ProgressLine* activeLine = nullptr;

void drawPlainLine(std::int64_t bodyBytes, std::int64_t progressLength) {
    double percent = 0.0;
    if (progressLength > 0) {
        percent = static_cast<double>(bodyBytes) / static_cast<double>(progressLength) * 100.0;
    }
    char received[kDecimalRoom];
    char length[kDecimalRoom];
    char shownPercent[32];
    writeDecimal(received, bodyBytes);
    writeDecimal(length, progressLength);
    writeOneDecimal(shownPercent, sizeof shownPercent, percent);
    logAt(3, "\rReceived %s/%s (%s%%)...", received, length, shownPercent);
}

void drawMeter(ProgressLine& line, std::int64_t bodyBytes) {
    std::int64_t stored = line.fileBase + bodyBytes;
    addRateSample(runRate, monotonicMillis(), stored);
    int width = terminalColumns();
    char text[256];
    char redraw[512];
    int length = formatMeterLine(text, sizeof text, width, stored, line.fileTotal, currentRate(runRate));
    formatRedraw(redraw, sizeof redraw, width, text, line.drawnLength);
    line.drawnLength = length;
    logAt(3, "%s", redraw);
}

void draw(ProgressLine& line, std::int64_t bodyBytes, std::int64_t progressLength) {
    line.lineOpen = 1;
    if (line.onTerminal) {
        drawMeter(line, bodyBytes);
    } else {
        drawPlainLine(bodyBytes, progressLength);
    }
}

}  // namespace

void startProgress(ProgressLine& line) {
    line = ProgressLine();
    line.onTerminal = standardErrorIsTerminal();
    if (runStartMillis < 0) runStartMillis = monotonicMillis();
    activeLine = &line;
}

void placeProgress(ProgressLine& line, std::int64_t fileBase, std::int64_t fileTotal) {
    line.fileBase = fileBase;
    line.fileTotal = fileTotal;
}

void showProgress(ProgressLine& line, std::int64_t bodyBytes, std::int64_t progressLength) {
    if (verbosity < 3) return;
    if (line.onTerminal) {
        std::int64_t now = monotonicMillis();
        if (line.drawnOnce && now - line.drawnAt < kRedrawMillis) {
            line.heldBack = 1;
            line.heldBodyBytes = bodyBytes;
            line.heldLength = progressLength;
            return;
        }
        line.drawnAt = now;
        line.drawnOnce = 1;
    }
    line.heldBack = 0;
    draw(line, bodyBytes, progressLength);
}

void endProgress(ProgressLine& line) {
    if (line.heldBack) draw(line, line.heldBodyBytes, line.heldLength);
    line.heldBack = 0;
    logAt(3, "\n");
    if (activeLine == &line) activeLine = nullptr;
}

void breakProgressLine(ProgressLine& line) {
    if (line.heldBack) draw(line, line.heldBodyBytes, line.heldLength);
    line.heldBack = 0;
    if (!line.lineOpen) return;
    logAt(3, "\n");
    line.lineOpen = 0;
    line.drawnLength = 0;
}

void dropProgress(ProgressLine& line) {
    if (activeLine == &line) activeLine = nullptr;
}

void endActiveProgress() {
    // Elsewhere than on a terminal the line stays as scripts expect it.
    if (activeLine != nullptr && activeLine->onTerminal && activeLine->drawnOnce) endProgress(*activeLine);
}

void showClosingLine(std::int64_t fileBytes) {
    if (!standardErrorIsTerminal() || runStartMillis < 0) return;
    char text[256];
    formatClosingLine(text, sizeof text, terminalColumns(), fileBytes, monotonicMillis() - runStartMillis);
    logAt(3, "%s\n", text);
}
