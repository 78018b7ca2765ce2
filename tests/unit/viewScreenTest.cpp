// The live view's frame from a terminal's size and the samples: which lines
// fit, and the chart's rows and columns.
#include "viewScreen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int32_t FULL = INT32_MAX;
const std::string TITLE_TEXT = "lpfscope: /dev/mem, 1000 samples/s";

// The frame's lines, without the escape sequences that end them.
std::vector<std::string> frame(const ChartHistory &history, int columns, int rows, const char *core = nullptr)
{
    std::string text = drawView(ViewContent{TITLE_TEXT, RegisterSample{1, FULL, 0, 0, -FULL}, history.chart(),
                                            "Ctrl-C quits.", core},
                                columns, rows);
    EXPECT_EQ(text.rfind("\x1b[H", 0), 0u);
    text = text.substr(3);
    std::vector<std::string> lines;
    for (size_t at = 0, end = 0; end != std::string::npos; at = end + 4) {
        end = text.find("\x1b[K\n", at);
        lines.push_back(text.substr(at, end == std::string::npos ? text.size() - 3 - at : end - at));
    }
    return lines;
}

// Samples `seconds` long at 1000 per second with u at +1 and y at -1.
ChartHistory recorded(double seconds, int64_t start = 0)
{
    ChartHistory history;
    for (int64_t t = 0; t < static_cast<int64_t>(seconds * 1e9); t += 1000000)
        history.record(start + t, RegisterSample{0, FULL, 0, 0, -FULL});
    return history;
}

bool starts(const std::string &line, const char *text)
{
    return line.rfind(text, 0) == 0;
}

TEST(viewScreen, smallTerminalsKeepWhatIsNeeded)
{
    const struct {
        int rows;
        size_t lines;
        bool chart;
        std::vector<const char *> starts; // lines that must be there, in order
    } cases[] = {
        {1, 1, false, {" lpfscope:"}},
        {3, 3, false, {" lpfscope:", " u ", " Ctrl-C"}},
        {6, 6, false, {" lpfscope:", "", " LEDs", " u ", " Ku", " Ctrl-C"}},
        {13, 9, false, {" lpfscope:", "", " LEDs", "", " u ", " Ku", "", "", " Ctrl-C"}},
        {14, 14, true, {" lpfscope:", "", " LEDs", "", " u ", " Ku", "", " u \x1b", "+1 |", " 0 |", "-1 |"}},
        {24, 24, true, {" lpfscope:", "", " LEDs", "", " u ", " Ku", "", " u \x1b", "+1 |"}},
    };
    ChartHistory history = recorded(1.0);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rows << " rows");
        std::vector<std::string> lines = frame(history, 80, c.rows);
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_EQ(layOutView(c.rows).chartRows > 0, c.chart);
        for (size_t i = 0; i < c.starts.size() && i < lines.size(); ++i)
            EXPECT_TRUE(starts(lines[i], c.starts[i])) << i << ": " << lines[i];
        EXPECT_TRUE(starts(lines.back(), c.chart ? " Ctrl-C" : c.starts.back()));
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string &l) { return starts(l, "+1 |"); }),
                  c.chart ? 1 : 0);
    }
}

// A program's line under the coefficients takes a row from the chart, and
// comes after the coefficients in the order of need.
TEST(viewScreen, programLine)
{
    const struct {
        int rows;
        size_t lines;
        bool chart;
        bool shown;
    } cases[] = {{5, 5, false, false}, {6, 6, false, true}, {14, 10, false, true}, {15, 15, true, true},
                 {24, 24, true, true}};
    ChartHistory history = recorded(1.0);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rows << " rows");
        std::vector<std::string> lines = frame(history, 80, c.rows, "LPf core");
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_EQ(layOutView(c.rows, true).chartRows > 0, c.chart);
        auto ku = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return starts(l, " Ku"); });
        ASSERT_TRUE(ku != lines.end());
        EXPECT_EQ(ku + 1 != lines.end() && *(ku + 1) == " LPf core", c.shown);
    }
}

// u at +1 on the top row, y at -1 on the bottom one, newest at the right:
// ten seconds of history fill the chart, one second its right tenth.
TEST(viewScreen, chartColumns)
{
    const struct {
        int columns;
        double seconds;
        size_t marked; // columns with a point
    } cases[] = {{80, 20.0, 75}, {80, 10.0, 75}, {80, 1.0, 8}, {80, 0.001, 1}, {45, 5.0, 20}, {5, 10.0, 1}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.columns << " columns, " << c.seconds << " s");
        std::vector<std::string> lines = frame(recorded(c.seconds, 123456789), c.columns, 24);
        auto top = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return starts(l, "+1 |"); });
        auto bottom = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return starts(l, "-1 |"); });
        ASSERT_TRUE(top != lines.end() && bottom != lines.end());
        std::string u = "\x1b[36m-\x1b[0m";
        std::string y = "\x1b[1;33m*\x1b[0m";
        std::string uColumns;
        std::string yColumns;
        for (size_t i = 0; i < c.marked; ++i) {
            uColumns += u;
            yColumns += y;
        }
        size_t width = static_cast<size_t>(std::max(c.columns - 5, 1));
        EXPECT_EQ(*top, "+1 |" + std::string(width - c.marked, ' ') + uColumns);
        EXPECT_EQ(*bottom, "-1 |" + std::string(width - c.marked, ' ') + yColumns);
    }
}

// Newest at the right: u at -1 for ten seconds, then at +1 for five.
TEST(viewScreen, chartNewestAtTheRight)
{
    ChartHistory history;
    for (int64_t t = 0; t < 15000000000; t += 1000000)
        history.record(t, RegisterSample{0, t < 10000000000 ? -FULL : FULL, 0, 0, 0});
    std::vector<std::string> lines = frame(history, 45, 14); // a chart 40 wide and 3 high
    std::string u = "\x1b[36m-\x1b[0m";
    std::string half;
    for (int i = 0; i < 20; ++i)
        half += u;
    EXPECT_EQ(lines[8], "+1 |" + std::string(20, ' ') + half);
    EXPECT_EQ(lines[10], "-1 |" + half + std::string(20, ' '));
}

// A point every 1/50 s of the samples' times, whatever their rate; a gap
// (a program held up) shows as a jump, not a burst of points.
TEST(viewScreen, chartPoints)
{
    const struct {
        const char *what;
        int64_t period;
        int64_t seconds;
        int64_t gapAt;
        size_t points;
    } cases[] = {{"1000/s for 1 s", 1000000, 1, 0, 50},
                 {"300/s for 4 s", 3333333, 4, 0, 200},
                 {"300/s for 20 s: the newest 10 s", 3333333, 20, 0, 500},
                 {"1000/s, 3 s held up after 1 s", 1000000, 2, 1000000000, 100}};
    for (auto c : cases) {
        ChartHistory history;
        for (int64_t t = 0; t < c.seconds * 1000000000; t += c.period)
            history.record(c.gapAt > 0 && t >= c.gapAt ? t + 3000000000 : t, RegisterSample{});
        EXPECT_EQ(history.chart().size(), c.points) << c.what;
    }
}

} // namespace
