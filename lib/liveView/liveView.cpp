#include "liveView.h"
#include "filterEncoding.h"
#include "terminal.h"
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
constexpr int OTHER_ROWS = 11; // every row but the chart's
constexpr int AXIS_WIDTH = 4;  // "+1 |"
constexpr size_t SCREEN_SIZE = 163840;

struct HistoryPoint {
    double u;
    double y;
};

static const char *viewTitle = "";
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

void viewOpen(const char *title)
{
    viewTitle = title;
    viewActive = true;
    terminalWatch();
}

void viewClose()
{
    viewActive = false;
    terminalGiveBack();
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

// The screen's lines, top to bottom; a terminal too low for all of them
// keeps them in this order of need: the title, u and y, the status, the LEDs,
// the coefficients; the chart goes first, then the blank lines.
enum Line { TITLE, LAMPS, NUMBERS, COEFFICIENTS, CHART, STATUS, BLANK_AFTER_TITLE, BLANK_AFTER_LAMPS, BLANK_BEFORE_CHART,
            BLANK_BEFORE_STATUS, LINE_KINDS };
constexpr Line NEED[] = {TITLE, NUMBERS, STATUS, LAMPS, COEFFICIENTS, BLANK_AFTER_TITLE, BLANK_AFTER_LAMPS,
                         BLANK_BEFORE_STATUS, BLANK_BEFORE_CHART};

static bool shownLine[LINE_KINDS];
static bool firstLine = true;

// Starts a line of the screen; every line but the last ends in a newline,
// so that the last row of the terminal never scrolls.
static void newLine()
{
    if (!firstLine)
        put("\x1b[K\n");
    firstLine = false;
}

static void putLamps(uint32_t led)
{
    newLine();
    put(" LEDs  ");
    for (int bit = 7; bit >= 0; --bit)
        put("%s ", ((led >> bit) & 1u) != 0 ? "\x1b[1;31m\xe2\x97\x8f\x1b[0m" : "\xe2\x97\x8b");
    put("   LED = 0x%08X", led);
}

static void putCoefficients(uint32_t ku, uint32_t ky)
{
    newLine();
    put(" Ku  0x%08X    Ky  0x%08X    tau ", ku, ky);
    if (ky == 0)
        put("-");
    else
        put("%.4g s", timeConstantOfPole(ky));
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
        newLine();
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
    }
}

// Which lines fit in `rows`, and how many rows the chart gets (0: none).
static int layOut(int rows)
{
    int chartRows = rows - OTHER_ROWS;
    for (bool &shown : shownLine)
        shown = chartRows >= MIN_CHART_ROWS;
    if (chartRows >= MIN_CHART_ROWS)
        return chartRows;
    shownLine[CHART] = false;
    int left = rows;
    for (Line line : NEED) {
        shownLine[line] = left > 0;
        left -= left > 0 ? 1 : 0;
    }
    return 0;
}

static void putChartBlock(int columns, int chartRows)
{
    newLine();
    put(" u \x1b[36m-\x1b[0m  y \x1b[1;33m*\x1b[0m  both \x1b[1;32m#\x1b[0m   over the last %d s", CHART_SECONDS);
    int chartWidth = columns - AXIS_WIDTH - 1;
    putChart(chartWidth < 1 ? 1 : chartWidth, chartRows);
    // "    -10 s" under the chart's left end, "now" under its right end.
    char left[16];
    int leftWidth = snprintf(left, sizeof left, "%*s-%d s", AXIS_WIDTH, "", CHART_SECONDS);
    int pad = AXIS_WIDTH + chartWidth - leftWidth;
    newLine();
    put("%s%*s", left, pad > 3 ? pad : 0, pad > 3 ? "now" : "");
}

static void putBlankIf(Line line)
{
    if (shownLine[line])
        newLine();
}

bool viewDraw(const char *status)
{
    if (!viewActive || !terminalService())
        return true; // in the background: nothing to draw, nothing failed
    if (!terminalTake())
        return false;
    int columns = 0;
    int rows = 0;
    terminalSize(columns, rows);
    int chartRows = layOut(rows);

    screenLength = 0;
    firstLine = true;
    put("\x1b[H");
    RegisterSample shown = haveSample ? latest : RegisterSample{};
    if (shownLine[TITLE]) {
        newLine();
        put(" %s", viewTitle);
    }
    putBlankIf(BLANK_AFTER_TITLE);
    if (shownLine[LAMPS])
        putLamps(shown.led);
    putBlankIf(BLANK_AFTER_LAMPS);
    if (shownLine[NUMBERS]) {
        newLine();
        put(" u  %+9.6f    y  %+9.6f   (per unit)", perUnit(shown.u), perUnit(shown.y));
    }
    if (shownLine[COEFFICIENTS])
        putCoefficients(shown.Ku, shown.Ky);
    putBlankIf(BLANK_BEFORE_CHART);
    if (chartRows > 0)
        putChartBlock(columns, chartRows);
    putBlankIf(BLANK_BEFORE_STATUS);
    if (shownLine[STATUS]) {
        newLine();
        put(" %s", status);
    }
    put("\x1b[K\x1b[J");
    return writeAll(STDOUT_FILENO, screen, screenLength);
}
