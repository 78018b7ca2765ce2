#include "samplerSchedule.h"
#include "clock.h"

int64_t dueTime(int64_t start, uint64_t n, uint32_t rate)
{
    return start + static_cast<int64_t>(n / rate) * NS_PER_SECOND +
           static_cast<int64_t>(n % rate) * NS_PER_SECOND / static_cast<int64_t>(rate);
}

uint64_t lastDue(int64_t start, uint64_t n, uint32_t rate, int64_t now)
{
    if (now < start)
        return n;
    auto elapsed = static_cast<uint64_t>(now - start);
    uint64_t m = elapsed / NS_PER_SECOND * rate + elapsed % NS_PER_SECOND * rate / NS_PER_SECOND;
    // The estimate is off by one either way: due times are rounded down.
    while (dueTime(start, m + 1, rate) <= now)
        ++m;
    while (m > n && dueTime(start, m, rate) > now)
        --m;
    return m > n ? m : n;
}

SamplerSchedule::SamplerSchedule(int64_t start, uint32_t rate, uint64_t samples, bool trigger)
    : start(start), rate(rate), samples(samples), trigger(trigger), halfPeriod(NS_PER_SECOND / rate / 2)
{
}

bool SamplerSchedule::doneAt(uint64_t n) const
{
    return zeroNumber != NO_ZERO && samples > 0 && n - zeroNumber >= samples;
}

bool SamplerSchedule::done() const
{
    return doneAt(next);
}

SampleStep SamplerSchedule::wake(int64_t now)
{
    uint64_t newest = lastDue(start, next, rate, now);
    if (doneAt(newest)) // the last samples of the recording came due while it was held up
        return SampleStep{false, newest, zeroNumber + samples - next, false};
    SampleStep step{true, newest, newest - next, now - dueTime(start, newest, rate) >= halfPeriod};
    next = newest + 1;
    return step;
}

bool SamplerSchedule::taken(const RegisterSample &sample)
{
    bool changed = haveBefore && (sample.u != before.u || sample.y != before.y);
    bool isZero = zeroNumber == NO_ZERO && (!trigger || changed);
    if (isZero)
        zeroNumber = next - 1;
    before = sample;
    haveBefore = true;
    return isZero;
}
