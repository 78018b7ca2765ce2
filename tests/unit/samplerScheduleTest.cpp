// lpfscope's schedule, on a clock the test drives: due times, the skip to
// the newest due sample, and the counts of missed and late samples.
#include "clock.h"
#include "samplerSchedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int64_t START = 987654321;

// Due times stay exact for runs of any length (1e13 samples: 116 days at
// the top rate) and at rates that do not divide a second; lastDue inverts them.
TEST(samplerSchedule, dueTimesOverLongRunsAndOddRates)
{
    const struct {
        uint32_t rate;
        uint64_t n;
    } cases[] = {{1, 0}, {3, 2}, {7, 1000000006}, {999983, 999983ull * 10000000 - 1}, {1000000, 10000000000000ull},
                 {1000, 10000000000ull}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << "/s, sample " << c.n);
        uint64_t seconds = c.n / c.rate;
        EXPECT_EQ(dueTime(START, seconds * c.rate, c.rate), START + static_cast<int64_t>(seconds) * NS_PER_SECOND);
        int64_t due = dueTime(START, c.n, c.rate);
        int64_t gap = dueTime(START, c.n + 1, c.rate) - due;
        EXPECT_GE(gap, NS_PER_SECOND / c.rate);
        EXPECT_LE(gap, NS_PER_SECOND / c.rate + 1);
        EXPECT_EQ(lastDue(START, 0, c.rate, due), c.n);
        if (c.n > 0) {
            EXPECT_EQ(lastDue(START, 0, c.rate, due - 1), c.n - 1);
        }
    }
}

struct Outcome {
    std::vector<uint64_t> numbers; // the samples taken
    uint64_t missed = 0;
    uint64_t late = 0;
};

// Wakes on time, but `stop` ns late for sample `stopAt`; at most `wakes` times.
Outcome run(uint32_t rate, uint64_t samples, uint64_t stopAt, int64_t stop, int wakes = 100000)
{
    SamplerSchedule schedule(START, rate, samples, false);
    Outcome result;
    while (!schedule.done() && wakes-- > 0) {
        bool stopped = result.numbers.size() == stopAt;
        SampleStep step = schedule.wake(schedule.nextDue() + (stopped ? stop : 0));
        result.missed += step.missed;
        if (!step.take)
            break;
        result.late += step.late ? 1 : 0;
        result.numbers.push_back(step.number);
        schedule.taken(RegisterSample{});
    }
    return result;
}

// A stop of any length skips to the newest due sample (no burst) and counts
// the rest as missed, at the end of a recording too: every sample due until
// the recording's end is taken or missed, never both.
TEST(samplerSchedule, stopsSkipToTheNewestDueSample)
{
    constexpr int64_t MS = 1000000;
    const struct {
        const char *what;
        uint32_t rate;
        uint64_t samples, stopAt;
        int64_t stop;
        uint64_t missed, late, lastTaken;
    } cases[] = {
        {"on time", 1000, 100, 0, 0, 0, 0, 99},
        {"late by half a period: late, not missed", 1000, 100, 10, MS / 2, 0, 1, 99},
        {"just under half a period: on time", 1000, 100, 10, MS / 2 - 1, 0, 0, 99},
        {"2.3 periods: two missed, the third on time", 1000, 100, 10, 2300000, 2, 0, 99},
        {"2.7 periods: two missed, the third late", 1000, 100, 10, 2700000, 2, 1, 99},
        {"an hour at the top rate", 1000000, 3600000010ull, 5, 3600 * NS_PER_SECOND, 3600000000ull, 0, 3600000009ull},
        {"through the end of the recording", 1000, 100, 90, NS_PER_SECOND, 10, 0, 89},
        {"until the last sample's time, at an odd rate", 7, 20, 10, 9 * NS_PER_SECOND / 7 + 1, 9, 0, 19},
        {"the first sample: the recording starts at it", 3, 5, 0, NS_PER_SECOND, 3, 0, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Outcome r = run(c.rate, c.samples, c.stopAt, c.stop);
        EXPECT_EQ(r.missed, c.missed);
        EXPECT_EQ(r.late, c.late);
        ASSERT_FALSE(r.numbers.empty());
        EXPECT_EQ(r.numbers.back(), c.lastTaken);
        EXPECT_EQ(r.numbers.size() + r.missed, r.numbers.front() + c.samples);
        for (size_t i = 1; i < r.numbers.size(); ++i)
            ASSERT_LT(r.numbers[i - 1], r.numbers[i]);
    }
}

// Time 0 is the first sample, or with a trigger the first that differs from
// the one before it in u or y (the LEDs and coefficients do not count); the
// recording's samples count from it.
TEST(samplerSchedule, timeZeroAndTrigger)
{
    const RegisterSample A{0, 5, 0, 0, 7};
    const struct {
        const char *what;
        bool trigger;
        std::vector<RegisterSample> samples;
        uint64_t zero; // its number, or NO_ZERO
    } cases[] = {
        {"no trigger: the first", false, {A, A, A}, 0},
        {"u and y not 0 at the start: no change yet", true, {A, A, A}, NO_ZERO},
        {"a change of u alone", true, {A, A, {0, 6, 0, 0, 7}}, 2},
        {"a change of y alone", true, {A, {0, 5, 0, 0, 8}}, 1},
        {"the LEDs and coefficients", true, {A, {1, 5, 2, 3, 7}}, NO_ZERO},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SamplerSchedule schedule(START, 1000, 3, c.trigger);
        for (const RegisterSample &sample : c.samples) {
            SampleStep step = schedule.wake(schedule.nextDue());
            EXPECT_EQ(schedule.taken(sample), step.number == c.zero);
        }
        EXPECT_EQ(schedule.zero(), c.zero);
        // Three samples from time 0 on.
        EXPECT_EQ(schedule.done(), c.zero != NO_ZERO && c.samples.size() >= c.zero + 3);
    }
}

} // namespace
