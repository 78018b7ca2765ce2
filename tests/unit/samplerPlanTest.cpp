// How lpfscope's sampler waits, and at what priority, for each rate and
// each right to real-time priority: real-time only where it is allowed, and
// never with the clock polled.
#include "samplerPlan.h"

#include <gtest/gtest.h>

namespace {

TEST(samplerPlan, realTimeWhereAllowedAndNeverPolling)
{
    const struct {
        const char *who;
        bool mayRaisePriority;
        uint64_t rtprioLimit;
        uint32_t rate;
        int priority;
        bool poll;
    } cases[] = {
        {"no right: sleeps, as ever", false, 0, 1000, 0, false},
        {"no right: sleeps up to 2000/s", false, 0, 2000, 0, false},
        {"no right: polls above", false, 0, 2001, 0, true},
        {"no right: polls at the top rate", false, 0, 1000000, 0, true},
        {"root: real-time, sleeping", true, 0, 1, SAMPLER_PRIORITY, false},
        {"root: real-time at 1000/s", true, 0, 1000, SAMPLER_PRIORITY, false},
        {"root: real-time at 20000/s", true, 0, 20000, SAMPLER_PRIORITY, false},
        {"root: normal priority, polling, above", true, 0, 20001, 0, true},
        {"root: normal priority at the top rate", true, 0, 1000000, 0, true},
        {"a limit below the priority: the limit", false, 5, 1000, 5, false},
        {"a limit of 1", false, 1, 20000, 1, false},
        {"a limit above the priority: the priority", false, 99, 1000, SAMPLER_PRIORITY, false},
        {"no limit at all", false, UINT64_MAX, 1000, SAMPLER_PRIORITY, false},
        {"a limit, above the real-time rates", false, 99, 50000, 0, true},
    };
    for (const auto &c : cases) {
        SamplerPlan plan = planSampler(c.rate, c.mayRaisePriority, c.rtprioLimit);
        EXPECT_EQ(plan.priority, c.priority) << c.who;
        EXPECT_EQ(plan.poll, c.poll) << c.who;
    }
}

} // namespace
