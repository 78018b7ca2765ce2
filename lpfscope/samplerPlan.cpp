#include "samplerPlan.h"

SamplerPlan planSampler(uint32_t rate, bool mayRaisePriority, uint64_t rtprioLimit)
{
    uint64_t allowed = mayRaisePriority ? SAMPLER_PRIORITY : rtprioLimit;
    if (allowed == 0 || rate > REAL_TIME_MAX_RATE)
        return SamplerPlan{0, rate > POLL_ABOVE_RATE};
    return SamplerPlan{allowed < SAMPLER_PRIORITY ? static_cast<int>(allowed) : SAMPLER_PRIORITY, false};
}
