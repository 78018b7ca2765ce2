#include "sampler.h"
#include "clock.h"

namespace {

// Above this rate the wake-up of a sleep is too late: sleep until shortly
// before a sample and poll the clock for the rest.
constexpr uint32_t POLL_ABOVE_RATE = 2000;
constexpr int64_t POLL_MARGIN_NS = 100000;

// False if a stop was asked for while waiting. A system call costs
// microseconds, so a poll sleeps only when the sample is far enough off.
bool waitUntil(const Sampling &sampling, int64_t due, bool poll)
{
    int64_t wakeUp = poll ? due - POLL_MARGIN_NS : due;
    if (!poll || monotonicNanoseconds() < wakeUp)
        sleepUntil(wakeUp);
    while (poll && !sampling.stop.load(std::memory_order_relaxed) && monotonicNanoseconds() < due) {
    }
    return !sampling.stop.load(std::memory_order_relaxed);
}

} // namespace

void runSampler(Sampling &sampling)
{
    const ScopeOptions &options = sampling.options;
    const bool poll = options.rate > POLL_ABOVE_RATE;
    SamplerSchedule schedule(monotonicNanoseconds(), options.rate, options.samples, options.trigger);
    while (!schedule.done()) {
        if (!waitUntil(sampling, schedule.nextDue(), poll))
            break;
        int64_t now = monotonicNanoseconds();
        SampleStep step = schedule.wake(now);
        sampling.missed.fetch_add(step.missed, std::memory_order_relaxed);
        if (!step.take)
            break;
        RegisterSample sample = loadRegisters(sampling.registers);
        sampling.taken.fetch_add(1, std::memory_order_relaxed);
        if (step.late)
            sampling.late.fetch_add(1, std::memory_order_relaxed);
        if (schedule.taken(sample)) {
            sampling.zeroTime.store(now, std::memory_order_relaxed);
            sampling.zero.store(step.number, std::memory_order_relaxed); // published with the sample below
        }
        if (!sampling.ring.put(TimedSample{now, step.number, sample}))
            sampling.dropped.fetch_add(1, std::memory_order_relaxed);
    }
    sampling.finished.store(true, std::memory_order_release);
}
