// The sampling loop of lpfscope: absolute times on the monotonic clock, the
// five registers loaded once each per sample, in register order.
#pragma once

#include "options.h"
#include "registerSet.h"

#include <cstdint>

struct SamplingResult {
    uint64_t taken;
    uint64_t late;
    bool outputFailed; // standard output could not be written
};

// Samples `registers` (mapped read-only: lpfscope never stores) until the
// duration is done or a stop is requested, into the live view (`view`) or as
// CSV rows on standard output.
SamplingResult runSampling(const RegisterSet &registers, const ScopeOptions &options, bool view);
