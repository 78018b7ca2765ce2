#include "viewScreen.h"
#include "filterEncoding.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

constexpr int MIN_CHART_ROWS = 3;
constexpr int OTHER_ROWS = 11; // every row but the chart's and the core's
constexpr int AXIS_WIDTH = 4;  // "+1 |"
constexpr ViewLine NEED[] = {TITLE, NUMBERS, STATUS, LAMPS, COEFFICIENTS, CORE, BLANK_AFTER_TITLE, BLANK_AFTER_LAMPS,
                             BLANK_BEFORE_STATUS, BLANK_BEFORE_CHART};

class Screen {
public:
    void put(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        char piece[256];
        va_list arguments;
        va_start(arguments, format);
        int length = vsnprintf(piece, sizeof piece, format, arguments);
        va_end(arguments);
        if (length > 0)
            text.append(piece, static_cast<size_t>(length) < sizeof piece ? static_cast<size_t>(length)
                                                                         : sizeof piece - 1);
    }

    // Starts a line; every line but the last ends in a newline.
    void newLine()
    {
        if (!first)
            text += "\x1b[K\n";
        first = false;
    }

    std::string text;

private:
    bool first = true;
};

void putLamps(Screen &screen, uint32_t led)
{
    screen.newLine();
    screen.put(" LEDs  ");
    for (int bit = 7; bit >= 0; --bit)
        screen.put("%s ", ((led >> bit) & 1u) != 0 ? "\x1b[1;31m\xe2\x97\x8f\x1b[0m" : "\xe2\x97\x8b");
    screen.put("   LED = 0x%08X", led);
}

void putCoefficients(Screen &screen, uint32_t ku, uint32_t ky)
{
    screen.newLine();
    screen.put(" Ku  0x%08X    Ky  0x%08X    tau ", ku, ky);
    if (ky == 0)
        screen.put("-");
    else
        screen.put("%.4g s", timeConstantOfPole(ky));
}

// Row of the chart (0 at the top) for a per-unit value, clamped to [-1, 1].
int chartRow(double value, int rows)
{
    double clamped = std::fmax(-1.0, std::fmin(1.0, value));
    return static_cast<int>(std::lround((1.0 - clamped) / 2.0 * (rows - 1)));
}

// The chart point shown in `column` of `width`, newest at the right; -1
// where the history does not reach back that far.
int pointOfColumn(const Ring<ChartPoint> &chart, int column, int width)
{
    int back = static_cast<int>(static_cast<int64_t>(width - 1 - column) * CHART_POINTS / width);
    int count = static_cast<int>(chart.size());
    return back >= count ? -1 : count - 1 - back;
}

void putChart(Screen &screen, const Ring<ChartPoint> &chart, int width, int rows)
{
    std::vector<int> uRow(static_cast<size_t>(width), -1);
    std::vector<int> yRow(static_cast<size_t>(width), -1);
    for (int column = 0; column < width; ++column) {
        int point = pointOfColumn(chart, column, width);
        if (point >= 0) {
            uRow[static_cast<size_t>(column)] = chartRow(chart[static_cast<size_t>(point)].u, rows);
            yRow[static_cast<size_t>(column)] = chartRow(chart[static_cast<size_t>(point)].y, rows);
        }
    }
    for (int row = 0; row < rows; ++row) {
        screen.newLine();
        const char *label = "   |";
        if (row == 0)
            label = "+1 |";
        else if (row == rows / 2 && rows % 2 == 1)
            label = " 0 |";
        else if (row == rows - 1)
            label = "-1 |";
        screen.put("%s", label);
        for (int column = 0; column < width; ++column) {
            bool u = uRow[static_cast<size_t>(column)] == row;
            bool y = yRow[static_cast<size_t>(column)] == row;
            if (u && y)
                screen.put("\x1b[1;32m#\x1b[0m");
            else if (y)
                screen.put("\x1b[1;33m*\x1b[0m");
            else if (u)
                screen.put("\x1b[36m-\x1b[0m");
            else
                screen.put("%s", row == rows / 2 && rows % 2 == 1 ? "\xc2\xb7" : " ");
        }
    }
}

void putChartBlock(Screen &screen, const Ring<ChartPoint> &chart, int columns, int chartRows)
{
    screen.newLine();
    screen.put(" u \x1b[36m-\x1b[0m  y \x1b[1;33m*\x1b[0m  both \x1b[1;32m#\x1b[0m   over the last %d s", CHART_SECONDS);
    int chartWidth = columns - AXIS_WIDTH - 1;
    putChart(screen, chart, chartWidth < 1 ? 1 : chartWidth, chartRows);
    // "    -10 s" under the chart's left end, "now" under its right end.
    char left[16];
    int leftWidth = snprintf(left, sizeof left, "%*s-%d s", AXIS_WIDTH, "", CHART_SECONDS);
    int pad = AXIS_WIDTH + chartWidth - leftWidth;
    screen.newLine();
    screen.put("%s%*s", left, pad > 3 ? pad : 0, pad > 3 ? "now" : "");
}

} // namespace

ViewLayout layOutView(int rows, bool coreLine)
{
    ViewLayout layout{};
    int chartRows = rows - OTHER_ROWS - (coreLine ? 1 : 0);
    for (bool &shown : layout.shown)
        shown = chartRows >= MIN_CHART_ROWS;
    layout.shown[CORE] = layout.shown[CORE] && coreLine;
    if (chartRows >= MIN_CHART_ROWS) {
        layout.chartRows = chartRows;
        return layout;
    }
    layout.shown[CHART] = false;
    int left = rows;
    for (ViewLine line : NEED) {
        if (line == CORE && !coreLine)
            continue;
        layout.shown[line] = left > 0;
        left -= left > 0 ? 1 : 0;
    }
    layout.chartRows = 0;
    return layout;
}

std::string drawView(const ViewContent &content, int columns, int rows)
{
    ViewLayout layout = layOutView(rows, content.core != nullptr);
    Screen screen;
    auto blankIf = [&](ViewLine line) {
        if (layout.shown[line])
            screen.newLine();
    };
    screen.put("\x1b[H");
    const RegisterSample &shown = content.latest;
    if (layout.shown[TITLE]) {
        screen.newLine();
        screen.text += ' ';
        screen.text += content.title;
    }
    blankIf(BLANK_AFTER_TITLE);
    if (layout.shown[LAMPS])
        putLamps(screen, shown.led);
    blankIf(BLANK_AFTER_LAMPS);
    if (layout.shown[NUMBERS]) {
        screen.newLine();
        screen.put(" u  %+9.6f    y  %+9.6f   (per unit)", perUnit(shown.u), perUnit(shown.y));
    }
    if (layout.shown[COEFFICIENTS])
        putCoefficients(screen, shown.Ku, shown.Ky);
    if (layout.shown[CORE]) {
        screen.newLine();
        screen.put(" %s", content.core);
    }
    blankIf(BLANK_BEFORE_CHART);
    if (layout.chartRows > 0)
        putChartBlock(screen, content.chart, columns, layout.chartRows);
    blankIf(BLANK_BEFORE_STATUS);
    if (layout.shown[STATUS]) {
        screen.newLine();
        screen.put(" %s", content.status);
    }
    screen.put("\x1b[K\x1b[J");
    return screen.text;
}
