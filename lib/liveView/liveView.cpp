#include "liveView.h"
#include "filterEncoding.h"
#include "writeAll.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

constexpr int HISTORY_RATE = 50; // chart points per second
constexpr int HISTORY_POINTS = CHART_SECONDS * HISTORY_RATE;
constexpr int64_t HISTORY_STEP_NS = 1000000000 / HISTORY_RATE;
constexpr int MAX_COLUMNS = 400;
constexpr int MAX_ROWS = 120;
constexpr int MIN_CHART_ROWS = 3;
constexpr int HEADER_ROWS = 8; // title to the chart's top
constexpr int FOOTER_ROWS = 3; // time axis, legend, hint
constexpr int AXIS_WIDTH = 4;  // "+1 |"
constexpr size_t SCREEN_SIZE = 163840;

struct HistoryPoint {
    double u;
    double y;
};

static const char *viewTitle = "";
static const char *viewHint = "";
static bool viewActive = false;
static RegisterSample latest{};
static bool haveSample = false;
static HistoryPoint history[HISTORY_POINTS];
static int historyCount = 0; // points kept, at most HISTORY_POINTS
static int historyNewest = -1;
static int64_t nextHistoryTime = 0;

static char screen[SCREEN_SIZE];
static size_t screenLength = 0;

static void put(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void put(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(screen + screenLength, SCREEN_SIZE - screenLength, format, arguments);
    va_end(arguments);
    if (written > 0)
        screenLength += static_cast<size_t>(written);
    if (screenLength >= SCREEN_SIZE)
        screenLength = SCREEN_SIZE - 1;
}

static bool writeOut(const char *text, size_t length)
{
    return writeAll(STDOUT_FILENO, text, length);
}

void viewOpen(const char *title, const char *hint)
{
    viewTitle = title;
    viewHint = hint;
    viewActive = true;
    // Alternate screen, cursor hidden, no line wrap (a narrow terminal cuts
    // lines rather than scrolling): the user's terminal comes back as it was.
    static const char open[] = "\x1b[?1049h\x1b[?25l\x1b[?7l";
    writeOut(open, sizeof open - 1);
}

void viewClose()
{
    if (!viewActive)
        return;
    viewActive = false;
    static const char close[] = "\x1b[?7h\x1b[?25h\x1b[?1049l";
    writeOut(close, sizeof close - 1);
}

void viewRecord(int64_t nanoseconds, const RegisterSample &sample)
{
    latest = sample;
    haveSample = true;
    if (historyNewest >= 0 && nanoseconds < nextHistoryTime)
        return;
    // Held up for longer than a step: the chart shows the gap as a jump.
    nextHistoryTime = historyNewest < 0 || nanoseconds - nextHistoryTime > HISTORY_STEP_NS
                          ? nanoseconds + HISTORY_STEP_NS
                          : nextHistoryTime + HISTORY_STEP_NS;
    historyNewest = (historyNewest + 1) % HISTORY_POINTS;
    history[historyNewest] = HistoryPoint{perUnit(sample.u), perUnit(sample.y)};
    if (historyCount < HISTORY_POINTS)
        ++historyCount;
}

static void terminalSize(int &columns, int &rows)
{
    winsize size{};
    columns = 80;
    rows = 24;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        columns = size.ws_col;
        rows = size.ws_row;
    }
    columns = columns > MAX_COLUMNS ? MAX_COLUMNS : columns;
    rows = rows > MAX_ROWS ? MAX_ROWS : rows;
}

static void putLamps(uint32_t led)
{
    put(" LEDs  ");
    for (int bit = 7; bit >= 0; --bit)
        put("%s ", ((led >> bit) & 1u) != 0 ? "\x1b[1;31m\xe2\x97\x8f\x1b[0m" : "\xe2\x97\x8b");
    put("   LED = 0x%08X\x1b[K\n", led);
}

static void putCoefficients(uint32_t ku, uint32_t ky)
{
    put(" Ku  0x%08X    Ky  0x%08X    tau ", ku, ky);
    if (ky == 0)
        put("-");
    else
        put("%.4g s", timeConstantOfPole(ky));
    put("\x1b[K\n");
}

// Row of the chart (0 at the top) for a per-unit value, clamped to [-1, 1].
static int chartRow(double value, int rows)
{
    double clamped = std::fmax(-1.0, std::fmin(1.0, value));
    return static_cast<int>(std::lround((1.0 - clamped) / 2.0 * (rows - 1)));
}

// The history point shown in `column` of `width`, newest at the right;
// -1 where the history does not reach back that far.
static int pointOfColumn(int column, int width)
{
    int back = static_cast<int>(static_cast<int64_t>(width - 1 - column) * HISTORY_POINTS / width);
    if (back >= historyCount)
        return -1;
    return (historyNewest - back + HISTORY_POINTS) % HISTORY_POINTS;
}

static void putChart(int width, int rows)
{
    static int uRow[MAX_COLUMNS];
    static int yRow[MAX_COLUMNS];
    for (int column = 0; column < width; ++column) {
        int point = pointOfColumn(column, width);
        uRow[column] = point < 0 ? -1 : chartRow(history[point].u, rows);
        yRow[column] = point < 0 ? -1 : chartRow(history[point].y, rows);
    }
    for (int row = 0; row < rows; ++row) {
        const char *label = "   |";
        if (row == 0)
            label = "+1 |";
        else if (row == rows / 2 && rows % 2 == 1)
            label = " 0 |";
        else if (row == rows - 1)
            label = "-1 |";
        put("%s", label);
        for (int column = 0; column < width; ++column) {
            bool u = uRow[column] == row;
            bool y = yRow[column] == row;
            if (u && y)
                put("\x1b[1;32m#\x1b[0m");
            else if (y)
                put("\x1b[1;33m*\x1b[0m");
            else if (u)
                put("\x1b[36m-\x1b[0m");
            else
                put("%s", row == rows / 2 && rows % 2 == 1 ? "\xc2\xb7" : " ");
        }
        put("\x1b[K\n");
    }
}

bool viewDraw()
{
    int columns = 0;
    int rows = 0;
    terminalSize(columns, rows);
    int chartWidth = columns - AXIS_WIDTH - 1;
    int chartRows = rows - HEADER_ROWS - FOOTER_ROWS;
    if (chartWidth < 1)
        chartWidth = 1;

    screenLength = 0;
    put("\x1b[H %s\x1b[K\n\x1b[K\n", viewTitle);
    RegisterSample shown = latest;
    if (!haveSample)
        shown = RegisterSample{};
    putLamps(shown.led);
    put("\x1b[K\n u  %+9.6f    y  %+9.6f   (per unit)\x1b[K\n", perUnit(shown.u), perUnit(shown.y));
    putCoefficients(shown.Ku, shown.Ky);
    put("\x1b[K\n u \x1b[36m-\x1b[0m  y \x1b[1;33m*\x1b[0m  over the last %d s\x1b[K\n", CHART_SECONDS);
    // A terminal too low for a chart shows the numbers alone.
    if (chartRows >= MIN_CHART_ROWS) {
        putChart(chartWidth, chartRows);
        // "    -10 s" under the chart's left end, "now" under its right end.
        char left[16];
        int leftWidth = snprintf(left, sizeof left, "%*s-%d s", AXIS_WIDTH, "", CHART_SECONDS);
        int pad = AXIS_WIDTH + chartWidth - leftWidth;
        put("%s%*s\x1b[K\n", left, pad > 3 ? pad : 0, pad > 3 ? "now" : "");
    }
    put("\x1b[K\n %s\x1b[K\x1b[J", viewHint);
    return writeOut(screen, screenLength);
}
