#include "sampler.h"
#include "clock.h"

namespace {

// Above this rate the wake-up of a sleep is too late: sleep until shortly
// before a sample and poll the clock for the rest.
constexpr uint32_t POLL_ABOVE_RATE = 2000;
constexpr int64_t POLL_MARGIN_NS = 100000;

TimedSample ring[RING_SIZE];
std::atomic<uint64_t> ringHead{0}; // samples put in, by the sampler
std::atomic<uint64_t> ringTail{0}; // samples taken out, by the writer

bool put(const TimedSample &sample)
{
    uint64_t head = ringHead.load(std::memory_order_relaxed);
    if (head - ringTail.load(std::memory_order_acquire) >= RING_SIZE)
        return false;
    ring[head % RING_SIZE] = sample;
    ringHead.store(head + 1, std::memory_order_release);
    return true;
}

// Time of sample n, exact and without overflow for any run.
int64_t dueTime(int64_t start, uint64_t n, uint32_t rate)
{
    return start + static_cast<int64_t>(n / rate) * NS_PER_SECOND +
           static_cast<int64_t>(n % rate) * NS_PER_SECOND / static_cast<int64_t>(rate);
}

// The last sample due at or before `now` (never before n).
uint64_t lastDue(int64_t start, uint64_t n, uint32_t rate, int64_t now)
{
    auto elapsed = static_cast<uint64_t>(now - start);
    uint64_t m = elapsed / NS_PER_SECOND * rate + elapsed % NS_PER_SECOND * rate / NS_PER_SECOND;
    while (m > n && dueTime(start, m, rate) > now)
        --m;
    return m > n ? m : n;
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

bool changed(const RegisterSample &before, const RegisterSample &now)
{
    return now.u != before.u || now.y != before.y;
}

} // namespace

bool nextSample(TimedSample &sample)
{
    uint64_t tail = ringTail.load(std::memory_order_relaxed);
    if (tail == ringHead.load(std::memory_order_acquire))
        return false;
    sample = ring[tail % RING_SIZE];
    ringTail.store(tail + 1, std::memory_order_release);
    return true;
}

void runSampler(Sampling &sampling)
{
    const ScopeOptions &options = sampling.options;
    const bool poll = options.rate > POLL_ABOVE_RATE;
    const int64_t halfPeriod = NS_PER_SECOND / options.rate / 2;
    RegisterSample before{};
    uint64_t zero = NO_ZERO;
    auto done = [&](uint64_t n) { return zero != NO_ZERO && options.samples > 0 && n - zero >= options.samples; };

    const int64_t start = monotonicNanoseconds();
    for (uint64_t n = 0; !done(n); ++n) {
        if (!waitUntil(sampling, dueTime(start, n, options.rate), poll))
            break;
        int64_t now = monotonicNanoseconds();
        // Woken after the next sample was due (a stopped or stalled
        // program): skip to the newest due one rather than catch up in a burst.
        uint64_t newest = lastDue(start, n, options.rate, now);
        if (done(newest)) {
            // The last samples of the recording came due while it was held up.
            sampling.missed.fetch_add(zero + options.samples - n, std::memory_order_relaxed);
            break;
        }
        sampling.missed.fetch_add(newest - n, std::memory_order_relaxed);
        n = newest;
        RegisterSample sample = loadRegisters(sampling.registers);
        uint64_t taken = sampling.taken.fetch_add(1, std::memory_order_relaxed) + 1;
        if (now - dueTime(start, n, options.rate) >= halfPeriod)
            sampling.late.fetch_add(1, std::memory_order_relaxed);

        // Time 0: the first sample, or with a trigger the first that
        // differs from the one before it in u or y.
        if (zero == NO_ZERO && (!options.trigger || (taken > 1 && changed(before, sample)))) {
            zero = n;
            sampling.zeroTime.store(now, std::memory_order_relaxed);
            sampling.zero.store(n, std::memory_order_relaxed); // published with the sample below
        }
        before = sample;
        if (!put(TimedSample{now, n, sample}))
            sampling.dropped.fetch_add(1, std::memory_order_relaxed);
    }
    sampling.finished.store(true, std::memory_order_release);
}
