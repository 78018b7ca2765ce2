// The sampler of lpfscope: its own thread, on absolute times of the
// monotonic clock, loading the five registers once each per sample in
// register order, and handing the samples to the writer through a ring that
// never makes it wait.
#pragma once

#include "options.h"
#include "registerSet.h"

#include <atomic>
#include <cstdint>

// Samples the ring holds for the writer: 65 ms at the top rate, a minute at
// the default one, while the writer waits for a slow reader.
constexpr uint64_t RING_SIZE = uint64_t{1} << 16;

struct TimedSample {
    int64_t taken;   // monotonic nanoseconds
    uint64_t number; // its place in the schedule: due at start + number / rate
    RegisterSample registers;
};

// What the sampler and the writer share. The sampler writes the counts and
// the zero; the writer asks it to stop.
struct Sampling {
    RegisterSet registers; // mapped read-only: lpfscope never stores
    ScopeOptions options;
    std::atomic<bool> stop;     // set by the writer: end after the current sample
    std::atomic<bool> finished; // set by the sampler when it has ended
    // The sample at time 0 (the first, or the change with --trigger) and
    // when it was taken; NO_ZERO until then.
    std::atomic<uint64_t> zero;
    std::atomic<int64_t> zeroTime;
    std::atomic<uint64_t> taken;
    std::atomic<uint64_t> late;    // taken half a period or more after their time
    std::atomic<uint64_t> missed;  // skipped: the next sample was due before they could be taken
    std::atomic<uint64_t> dropped; // taken, but the writer had no room for them
};

constexpr uint64_t NO_ZERO = UINT64_MAX;

// Samples until the duration is done or a stop is asked for; then sets
// `finished`. Runs on a thread of its own.
void runSampler(Sampling &sampling);

// The writer's side of the ring: the oldest sample not yet taken out, or
// false when there is none.
bool nextSample(TimedSample &sample);
