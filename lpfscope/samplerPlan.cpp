#include "samplerPlan.h"

SamplerPlan planSampler(uint32_t rate, bool mayRaisePriority, uint64_t rtprioLimit)
{
    uint64_t ceiling = mayRaisePriority ? SAMPLER_PRIORITY : rtprioLimit;
    int priority = static_cast<int>(ceiling < SAMPLER_PRIORITY ? ceiling : SAMPLER_PRIORITY);
    if (priority > 0 && rate <= REAL_TIME_MAX_RATE)
        return SamplerPlan{priority, false};
    return SamplerPlan{0, rate > POLL_ABOVE_RATE};
}
