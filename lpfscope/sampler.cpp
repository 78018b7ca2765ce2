#include "sampler.h"
#include "clock.h"
#include "samplerPlan.h"

#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int64_t POLL_MARGIN_NS = 100000;

bool mayRaisePriority()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
}

uint64_t realTimeLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0)
        return 0;
    return limit.rlim_cur;
}

// Asks for the plan's priority for this thread alone, and locks the pages
// the process has now (the ring among them) as they are touched, so that a
// page fault does not hold up a sample; the window's untouched pages stay
// unmapped. A refused priority samples as at normal priority; refused
// locking is no reason to give up the priority.
SamplerPlan takePriority(Sampling &sampling)
{
    const uint32_t rate = sampling.options.rate;
    SamplerPlan plan = planSampler(rate, mayRaisePriority(), realTimeLimit());
    if (plan.priority == 0)
        return plan;
    sched_param parameters{};
    parameters.sched_priority = plan.priority;
    int refused = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    if (refused != 0) {
        sampling.realTimeRefused.store(refused, std::memory_order_relaxed);
        return planSampler(rate, false, 0);
    }
    mlockall(MCL_CURRENT | MCL_ONFAULT);
    return plan;
}

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
    const bool poll = takePriority(sampling).poll;
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
        uint32_t count = *sampling.registers.sampleCount;
        sampling.taken.fetch_add(1, std::memory_order_relaxed);
        if (step.late)
            sampling.late.fetch_add(1, std::memory_order_relaxed);
        if (schedule.taken(sample)) {
            sampling.zeroTime.store(now, std::memory_order_relaxed);
            sampling.zero.store(step.number, std::memory_order_relaxed); // published with the sample below
        }
        if (!sampling.ring.put(TimedSample{now, step.number, sample, count}))
            sampling.dropped.fetch_add(1, std::memory_order_relaxed);
    }
    sampling.finished.store(true, std::memory_order_release);
}
