// A sample as the sampler hands it to the writer.
#pragma once

#include "registerSet.h"

#include <cstdint>

struct TimedSample {
    int64_t taken;   // monotonic nanoseconds
    uint64_t number; // its place in the schedule: due at start + number / rate
    RegisterSample registers;
    uint32_t sampleCount; // the core's sample counter, loaded after the five registers
};
