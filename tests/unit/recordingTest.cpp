// What lpfscope's writer makes of the samples: the history before the
// change, oldest first, and every row at the time its sample was taken.
#include "recording.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int64_t ZERO_TIME = 5000000000;

TimedSample sample(uint64_t number, int64_t taken)
{
    return TimedSample{taken, number, RegisterSample{static_cast<uint32_t>(number), 0, 0, 0, 0}, 0};
}

// Samples `numbers`, taken at `taken` ns, with time 0 at `zero`: the
// samples' numbers (kept in led) and times of the rows let out.
std::vector<std::pair<uint32_t, int64_t>> rows(uint64_t keep, const std::vector<uint64_t> &numbers,
                                               const std::vector<int64_t> &taken, uint64_t zero)
{
    Recording recording(keep);
    std::vector<std::pair<uint32_t, int64_t>> out;
    for (size_t i = 0; i < numbers.size(); ++i) {
        // The sampler publishes time 0 with its sample: not before.
        uint64_t zeroSoFar = numbers[i] >= zero ? zero : NO_ZERO;
        recording.take(sample(numbers[i], taken[i]), zeroSoFar, ZERO_TIME,
                       [&out](const Row &row) { out.emplace_back(row.registers.led, row.nanoseconds); });
    }
    return out;
}

TEST(recording, historyOrderAndRowTimes)
{
    const int64_t Z = ZERO_TIME;
    const struct {
        const char *what;
        uint64_t keep;
        std::vector<uint64_t> numbers;
        std::vector<int64_t> taken;
        uint64_t zero;
        std::vector<std::pair<uint32_t, int64_t>> rows;
    } cases[] = {
        {"no history: from time 0 on", 0, {0, 1, 2}, {Z, Z + 1000, Z + 1999}, 0, {{0, 0}, {1, 1000}, {2, 1999}}},
        {"the newest of the history, oldest first",
         3,
         {0, 1, 2, 3, 4, 5},
         {Z - 4000, Z - 3000, Z - 2000, Z - 1000, Z, Z + 1000},
         4,
         {{1, -3000}, {2, -2000}, {3, -1000}, {4, 0}, {5, 1000}}},
        {"a gap before the change longer than the history", 2, {0, 1, 9}, {Z - 9000, Z - 8000, Z}, 9, {{9, 0}}},
        {"part of the history before a gap", 3, {0, 5, 6, 7}, {Z - 7000, Z - 2000, Z - 1000, Z}, 7,
         {{5, -2000}, {6, -1000}, {7, 0}}},
        {"times as measured, even within a microsecond", 2,
         {0, 1, 2, 3},
         {Z - 300, Z - 299, Z, Z + 1},
         2,
         {{0, -300}, {1, -299}, {2, 0}, {3, 1}}},
        {"no change: no rows", 4, {0, 1, 2}, {1, 2, 3}, NO_ZERO, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(rows(c.keep, c.numbers, c.taken, c.zero), c.rows);
    }
}

// A tenth of the duration, or a second, at most MAX_HISTORY; none without a trigger.
TEST(recording, historyLength)
{
    const struct {
        uint32_t rate;
        double duration;
        bool trigger;
        uint64_t samples;
    } cases[] = {{1000, 2.0, false, 0},     {1000, 2.0, true, 200},
                 {1000, 0.0, true, 1000},   {3, 0.0, true, 3},
                 {1000000, 0.0, true, MAX_HISTORY}, {1000000, 1e7, true, MAX_HISTORY}};
    for (auto c : cases) {
        ScopeOptions options{c.rate, 0, c.duration, nullptr, true, c.trigger, false, false};
        EXPECT_EQ(historyLength(options), c.samples) << c.rate << "/s for " << c.duration << " s";
    }
}

} // namespace
