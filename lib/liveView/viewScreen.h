// The live view's screen as text, from the terminal's size and what it
// shows: which lines fit, the chart's rows and columns, and the escape
// sequences that draw it over the last frame.
#pragma once

#include "chartHistory.h"
#include "registerSet.h"

#include <string>

// The screen's lines, top to bottom.
enum ViewLine { TITLE, LAMPS, NUMBERS, COEFFICIENTS, CORE, CHART, STATUS, BLANK_AFTER_TITLE, BLANK_AFTER_LAMPS,
                BLANK_BEFORE_CHART, BLANK_BEFORE_STATUS, VIEW_LINE_KINDS };

struct ViewLayout {
    bool shown[VIEW_LINE_KINDS];
    int chartRows; // 0: no chart
};

// Which lines fit in `rows`: all of them with a chart of the rows left
// over, or on a terminal too low for a chart, in this order of need: the
// title, u and y, the status, the LEDs, the coefficients, the core's line
// (where there is one), then the blank lines.
ViewLayout layOutView(int rows, bool coreLine = false);

struct ViewContent {
    const std::string &title;
    const RegisterSample &latest;
    const Ring<ChartPoint> &chart;
    const char *status;
    const char *core; // what the core is and how fast it samples; nullptr: no such line
};

// The frame for a terminal of `columns` by `rows`, from the top left;
// every line but the last ends in a newline, so that the terminal never
// scrolls.
std::string drawView(const ViewContent &content, int columns, int rows);
