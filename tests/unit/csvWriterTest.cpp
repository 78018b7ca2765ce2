// lpfscope's CSV: row times, and the cut back to a whole row after a short
// write.
#include "csvWriter.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string timeOf(int64_t nanoseconds, bool nanosecondDigits)
{
    char text[CSV_ROW_MAX];
    size_t length = formatCsvRow(text, sizeof text, nanoseconds, nanosecondDigits, RegisterSample{});
    std::string row(text, length);
    return row.substr(0, row.find(','));
}

TEST(csvWriter, rowTimes)
{
    const struct {
        int64_t nanoseconds;
        bool nanosecondDigits;
        const char *time;
    } cases[] = {
        {0, false, "0.000000"},
        {1999, false, "0.000001"},          // rounded down
        {-1, false, "-0.000001"},           // before the change never shows as at it
        {-500000000, false, "-0.500000"},   // the sign of a time above -1 s
        {-500000001, true, "-0.500000001"},
        {1234567891, true, "1.234567891"},
        {10000000000000000, false, "10000000.000000"},
        {-10000000000000001, true, "-10000000.000000001"},
    };
    for (auto c : cases)
        EXPECT_EQ(timeOf(c.nanoseconds, c.nanosecondDigits), c.time) << c.nanoseconds;

    char text[CSV_ROW_MAX];
    size_t length = formatCsvRow(text, sizeof text, 0, false, RegisterSample{165, -1073741823, 1, 4294967295, INT32_MAX});
    EXPECT_EQ(std::string(text, length), "0.000000,165,-1073741823,1,4294967295,2147483647,-0.500000,1.000000\n");
}

// Microseconds while they tell a row from the one before; nanoseconds where
// they cannot.
TEST(csvWriter, finerTimesOnlyWhereNeeded)
{
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    CsvWriter csv(fileno(file));
    const int64_t times[] = {-1500, -1100, -900, 0, 999, 1000, 1999, 1999, 2500};
    ASSERT_TRUE(csv.header());
    ASSERT_TRUE(std::all_of(std::begin(times), std::end(times),
                            [&csv](int64_t time) { return csv.row(time, RegisterSample{}); }));
    ASSERT_TRUE(csv.flush());
    EXPECT_EQ(csv.rowsWritten(), std::size(times));

    std::vector<char> all(4096);
    size_t length = static_cast<size_t>(pread(fileno(file), all.data(), all.size(), 0));
    std::vector<std::string> got;
    std::string text(all.data(), length);
    for (size_t at = text.find('\n') + 1; at < text.size(); at = text.find('\n', at) + 1)
        got.push_back(text.substr(at, text.find(',', at) - at));
    EXPECT_EQ(got, (std::vector<std::string>{"-0.000002", "-0.000001100", "-0.000001", "0.000000", "0.000000999",
                                             "0.000001", "0.000001999", "0.000001999", "0.000002"}));
    fclose(file);
}

TEST(csvWriter, cutBackToAWholeRow)
{
    const char text[] = "a,1\nb,2\nc,";
    const struct {
        size_t written, whole;
    } rows[] = {{0, 0}, {3, 0}, {4, 4}, {5, 4}, {8, 8}, {10, 8}};
    for (auto r : rows)
        EXPECT_EQ(wholeRowsLength(text, r.written), r.whole) << r.written;

    const struct {
        const char *what;
        bool regular;
        off_t size, end;
        size_t partial;
        off_t cut;
    } files[] = {
        {"a regular file that ends in the part of a row", true, 1000, 1000, 7, 993},
        {"nothing of a row written", true, 1000, 1000, 0, -1},
        {"not a regular file", false, 1000, 1000, 7, -1},
        {"written after by another", true, 1200, 1000, 7, -1},
        {"a descriptor that cannot seek", true, 1000, -1, 7, -1},
    };
    for (auto f : files)
        EXPECT_EQ(cutBackEnd(f.regular, f.size, f.end, f.partial), f.cut) << f.what;
}

} // namespace
