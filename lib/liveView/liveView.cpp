#include "liveView.h"
#include "chartHistory.h"
#include "terminal.h"
#include "viewScreen.h"
#include "writeAll.h"

#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int MAX_COLUMNS = 400;
constexpr int MAX_ROWS = 120;

// The one terminal's view.
struct View {
    std::string title;
    bool active = false;
    RegisterSample latest{};
    ChartHistory history;
};

View view;

void terminalSize(int &columns, int &rows)
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

} // namespace

void viewOpen(const char *title)
{
    view.title = title;
    view.active = true;
    terminalWatch();
}

void viewClose()
{
    view.active = false;
    terminalGiveBack();
}

void viewRecord(int64_t nanoseconds, const RegisterSample &sample)
{
    view.latest = sample;
    view.history.record(nanoseconds, sample);
}

bool viewDraw(const char *status, const char *core)
{
    if (!view.active || !terminalService())
        return true; // in the background: nothing to draw, nothing failed
    if (!terminalTake())
        return false;
    int columns = 0;
    int rows = 0;
    terminalSize(columns, rows);
    std::string screen = drawView(ViewContent{view.title, view.latest, view.history.chart(), status, core}, columns, rows);
    return writeAll(STDOUT_FILENO, screen.data(), screen.size());
}
