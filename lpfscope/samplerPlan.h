// How the sampler waits for each sample and at what priority, from the rate
// and what the system allows: real-time priority where a thread of this
// process may have it, sleeping until each sample; the clock polled only at
// normal priority, so that a core is never held at real-time priority.
#pragma once

#include <cstdint>

// SCHED_FIFO, modest: above every program at normal priority, below the
// kernel's threads for interrupts (50).
constexpr int SAMPLER_PRIORITY = 10;
// Up to this rate a sleep wakes in time at normal priority.
constexpr uint32_t POLL_ABOVE_RATE = 2000;
// Up to this rate the sampler sleeps until each sample at real-time
// priority; above it, a wake-up for every sample would take much of a core.
constexpr uint32_t REAL_TIME_MAX_RATE = 20000;

struct SamplerPlan {
    int priority; // SCHED_FIFO priority to ask for; 0: normal priority
    bool poll;    // sleep until shortly before each sample, poll the clock for the rest
};

// `mayRaisePriority`: the process has CAP_SYS_NICE (root has); otherwise
// `rtprioLimit`, the soft RLIMIT_RTPRIO, is the highest real-time priority
// it may ask for (0: none).
SamplerPlan planSampler(uint32_t rate, bool mayRaisePriority, uint64_t rtprioLimit);
