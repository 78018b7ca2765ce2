#include "sampling.h"
#include "clock.h"
#include "csvWriter.h"
#include "liveView.h"
#include "stopSignals.h"

// Above this rate the wake-up of a sleep is too late: sleep until shortly
// before a sample and poll the clock for the rest.
constexpr uint32_t POLL_ABOVE_RATE = 2000;
constexpr int64_t POLL_MARGIN_NS = 100000;
constexpr int64_t DRAW_PERIOD_NS = NS_PER_SECOND / 20;
constexpr int64_t FLUSH_PERIOD_NS = NS_PER_SECOND / 10;
// History kept while waiting for the trigger; at most this many samples.
constexpr uint64_t HISTORY_CAPACITY = 1u << 18;
constexpr double DEFAULT_HISTORY_SECONDS = 1.0;

struct TimedSample {
    int64_t taken; // monotonic nanoseconds
    RegisterSample registers;
};

static TimedSample history[HISTORY_CAPACITY];

// Time of sample n, exact and without overflow for any run.
static int64_t dueTime(int64_t start, uint64_t n, uint32_t rate)
{
    return start + static_cast<int64_t>(n / rate) * NS_PER_SECOND +
           static_cast<int64_t>(n % rate) * NS_PER_SECOND / static_cast<int64_t>(rate);
}

// Microseconds from time 0 to a sample taken at `taken`; never the same as
// the row before, even for samples taken back to back after a delay.
static int64_t rowTime(int64_t taken, int64_t zero, int64_t &previous)
{
    int64_t microseconds = (taken - zero) / 1000;
    if (microseconds <= previous)
        microseconds = previous + 1;
    previous = microseconds;
    return microseconds;
}

// False if a stop was requested while waiting. A system call costs
// microseconds, so a poll sleeps only when the sample is far enough off.
static bool waitUntil(int64_t due, bool poll)
{
    int64_t wakeUp = poll ? due - POLL_MARGIN_NS : due;
    if (!poll || monotonicNanoseconds() < wakeUp) {
        while (stopRequested == 0 && !sleepUntil(wakeUp)) {
        }
    }
    while (poll && stopRequested == 0 && monotonicNanoseconds() < due) {
    }
    return stopRequested == 0;
}

static uint64_t historyLength(const ScopeOptions &options)
{
    double seconds = options.durationSeconds > 0.0 ? options.durationSeconds / 10.0 : DEFAULT_HISTORY_SECONDS;
    double samples = seconds * options.rate;
    return samples >= static_cast<double>(HISTORY_CAPACITY) ? HISTORY_CAPACITY : static_cast<uint64_t>(samples);
}

SamplingResult runSampling(const RegisterSet &registers, const ScopeOptions &options, bool view)
{
    SamplingResult result{0, 0, false};
    const bool poll = options.rate > POLL_ABOVE_RATE;
    const int64_t period = NS_PER_SECOND / options.rate;
    const uint64_t keep = historyLength(options);
    bool waiting = options.trigger;
    uint64_t kept = 0; // history samples held while waiting, the newest at index n % keep
    RegisterSample before{};
    uint64_t zero = 0;      // the sample at time 0: the first, or the change
    int64_t zeroTime = 0;   // when it was taken
    int64_t lastRow = -1;   // microseconds of the row written last
    if (!view && !csvHeader())
        result.outputFailed = true;

    const int64_t start = monotonicNanoseconds();
    int64_t nextDraw = start;
    int64_t nextFlush = start + FLUSH_PERIOD_NS;
    for (uint64_t n = 0; !result.outputFailed; ++n) {
        int64_t due = dueTime(start, n, options.rate);
        if (!waitUntil(due, poll))
            break;
        int64_t now = monotonicNanoseconds();
        RegisterSample sample = loadRegisters(registers);
        ++result.taken;
        if (now - due > period)
            ++result.late; // the next sample was due already

        if (n == 0)
            zeroTime = now;
        if (view)
            viewRecord(now, sample);
        if (waiting) {
            if (n > 0 && (sample.u != before.u || sample.y != before.y)) {
                waiting = false;
                zero = n;
                zeroTime = now;
                lastRow = INT64_MIN;
                for (uint64_t back = kept; back > 0 && !view; --back) {
                    const TimedSample &old = history[(n - back) % keep];
                    result.outputFailed |= !csvRow(rowTime(old.taken, zeroTime, lastRow), old.registers);
                }
                // The change is at 0, unless the history crowds it at the highest rates.
                lastRow = lastRow < -1 ? -1 : lastRow;
            } else {
                before = sample;
                if (keep > 0) {
                    history[n % keep] = TimedSample{now, sample};
                    kept = kept < keep ? kept + 1 : keep;
                }
            }
        }
        if (!waiting) {
            if (!view)
                result.outputFailed |= !csvRow(rowTime(now, zeroTime, lastRow), sample);
            if (options.samples > 0 && n - zero + 1 >= options.samples)
                break;
        }
        if (view && now >= nextDraw) {
            result.outputFailed |= !viewDraw();
            nextDraw = now + DRAW_PERIOD_NS;
        }
        if (!view && now >= nextFlush) {
            result.outputFailed |= !csvFlush();
            nextFlush = now + FLUSH_PERIOD_NS;
        }
    }
    if (!view && !result.outputFailed)
        result.outputFailed = !csvFlush();
    return result;
}
