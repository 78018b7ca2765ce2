// The sampler's schedule as a function of the clock it is given: when each
// sample is due, which one to take on waking (the newest due: a stopped or
// stalled program skips rather than catch up in a burst), what was missed
// or late, and which sample is time 0.
#pragma once

#include "registerSet.h"

#include <cstdint>

constexpr uint64_t NO_ZERO = UINT64_MAX;

// Time of sample n at `rate` per second from `start`, exact and without
// overflow for any run.
int64_t dueTime(int64_t start, uint64_t n, uint32_t rate);

// The last sample due at or before `now`, never before n.
uint64_t lastDue(int64_t start, uint64_t n, uint32_t rate, int64_t now);

// What to do on waking for a sample.
struct SampleStep {
    bool take;       // false: the recording has ended
    uint64_t number; // the sample to take
    uint64_t missed; // samples skipped, due before this one could be taken
    bool late;       // taken half a period or more after its time
};

class SamplerSchedule {
public:
    // `samples` to record from time 0 (0: until stopped); with `trigger`,
    // time 0 is the first sample that differs from the one before it in u
    // or y, otherwise the first sample.
    SamplerSchedule(int64_t start, uint32_t rate, uint64_t samples, bool trigger);

    bool done() const;
    int64_t nextDue() const { return dueTime(start, next, rate); }

    // Woken at `now` for the next sample.
    SampleStep wake(int64_t now);

    // The registers of the sample just taken; true if it is time 0.
    bool taken(const RegisterSample &sample);

    uint64_t zero() const { return zeroNumber; }

private:
    bool doneAt(uint64_t n) const;

    int64_t start;
    uint32_t rate;
    uint64_t samples;
    bool trigger;
    int64_t halfPeriod;
    uint64_t next = 0;
    uint64_t zeroNumber = NO_ZERO;
    bool haveBefore = false;
    RegisterSample before{};
};
