// The sampling loop of lpfscope: absolute times on the monotonic clock, the
// five registers loaded once each per sample, in register order.
#pragma once

#include "options.h"

#include <csignal>
#include <cstdint>

// The registers, read-only: lpfscope never stores.
extern const volatile uint32_t *scopeLed;
extern const volatile uint32_t *scopeU;
extern const volatile uint32_t *scopeKu;
extern const volatile uint32_t *scopeKy;
extern const volatile uint32_t *scopeY;

// Set by SIGINT, SIGTERM, SIGHUP or SIGQUIT: end after the current sample.
extern volatile sig_atomic_t scopeStopRequested;

struct SamplingResult {
    uint64_t taken;
    uint64_t late;
    bool outputFailed; // standard output could not be written
};

// Samples until the duration is done or a stop is requested, into the live
// view (`view`) or as CSV rows on standard output.
SamplingResult runSampling(const ScopeOptions &options, bool view);
