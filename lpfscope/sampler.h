// The sampler of lpfscope: its own thread, on absolute times of the
// monotonic clock, loading the five registers once each per sample in
// register order, then the core's sample counter, and handing the samples to the writer through a ring that
// never makes it wait.
#pragma once

#include "coreCheck.h"
#include "options.h"
#include "registerSet.h"
#include "ring.h"
#include "samplerSchedule.h"
#include "timedSample.h"

#include <atomic>
#include <cstdint>

// Samples the ring holds for the writer: 65 ms at the top rate, a minute at
// the default one, while the writer waits for a slow reader.
constexpr uint64_t RING_SIZE = uint64_t{1} << 16;

// What the sampler and the writer share. The sampler writes the counts and
// the zero; the writer asks it to stop.
struct Sampling {
    Sampling(const RegisterSet &registers, const ScopeOptions &options)
        : registers(registers), options(options), ring(RING_SIZE)
    {
    }

    RegisterSet registers; // mapped read-only: lpfscope never stores
    ScopeOptions options;
    CoreIdentity core{0, 0}; // loaded once, before the sampler starts
    HandOffRing<TimedSample> ring; // from the sampler to the writer
    std::atomic<bool> stop{false};     // set by the writer: end after the current sample
    std::atomic<bool> finished{false}; // set by the sampler when it has ended
    // The sample at time 0 (the first, or the change with --trigger) and
    // when it was taken; NO_ZERO until then.
    std::atomic<uint64_t> zero{NO_ZERO};
    std::atomic<int64_t> zeroTime{0};
    std::atomic<uint64_t> taken{0};
    std::atomic<uint64_t> late{0};    // taken half a period or more after their time
    std::atomic<uint64_t> missed{0};  // skipped: the next sample was due before they could be taken
    std::atomic<uint64_t> dropped{0}; // taken, but the writer had no room for them
    // The error of a real-time priority that the limits allowed but the
    // system refused (a control group without real-time time, say); 0 if none.
    std::atomic<int> realTimeRefused{0};
};

// Samples until the duration is done or a stop is asked for; then sets
// `finished`. Runs on a thread of its own, at real-time priority where that
// is allowed (samplerPlan.h).
void runSampler(Sampling &sampling);
