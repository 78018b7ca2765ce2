// What the writer makes of the samples, apart from any output: with a
// trigger it holds the newest samples from before the change and lets them
// out, oldest first, when the change comes; every row has the time its
// sample was taken, in nanoseconds from time 0 (negative before it).
#pragma once

#include "options.h"
#include "ring.h"
#include "samplerSchedule.h"
#include "timedSample.h"

#include <cstdint>

struct Row {
    int64_t nanoseconds; // from time 0
    RegisterSample registers;
};

// Samples of history kept from before the change: a tenth of the duration,
// or a second, at most MAX_HISTORY; none without a trigger.
uint64_t historyLength(const ScopeOptions &options);

class Recording {
public:
    explicit Recording(uint64_t historySamples) : history(historySamples) {}

    // A sample out of the sampler's ring, with time 0 as the sampler has
    // published it so far: gives `emit` each Row it lets out, in order.
    template <typename Emit> void take(const TimedSample &sample, uint64_t zero, int64_t zeroTime, Emit &&emit)
    {
        if (zero == NO_ZERO || sample.number < zero) {
            history.push(sample);
            return;
        }
        if (!started) {
            started = true;
            // Samples from before a gap longer than the history are older
            // than it reaches.
            for (size_t i = 0; i < history.size(); ++i)
                if (history[i].number + history.capacity() >= zero)
                    emit(Row{history[i].taken - zeroTime, history[i].registers});
            history.clear();
        }
        emit(Row{sample.taken - zeroTime, sample.registers});
    }

private:
    Ring<TimedSample> history;
    bool started = false;
};
