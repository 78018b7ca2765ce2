// How lpfscope's sampler waits, and at what priority: real-time only where
// it is allowed, and then never polling the clock.
#include "samplerPlan.h"

#include <gtest/gtest.h>

namespace {

TEST(samplerPlan, realTimeWhereAllowedAndNeverPolling)
{
    const struct {
        bool mayRaisePriority; // root
        uint64_t rtprioLimit;
        uint32_t rate;
        int priority;
        bool poll;
    } cases[] = {
        {false, 0, 2000, 0, false},  {false, 0, 2001, 0, true},  {true, 0, 1, SAMPLER_PRIORITY, false},
        {true, 0, 20000, SAMPLER_PRIORITY, false},               {true, 0, 20001, 0, true},
        {false, 5, 1000, 5, false},  {false, 99, 1000, SAMPLER_PRIORITY, false},
    };
    for (const auto &c : cases) {
        SamplerPlan plan = planSampler(c.rate, c.mayRaisePriority, c.rtprioLimit);
        EXPECT_EQ(plan.priority, c.priority) << c.mayRaisePriority << " " << c.rtprioLimit << " " << c.rate;
        EXPECT_EQ(plan.poll, c.poll) << c.mayRaisePriority << " " << c.rtprioLimit << " " << c.rate;
    }
}

} // namespace
