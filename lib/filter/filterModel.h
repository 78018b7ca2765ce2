// The LPf filter core as the reference design and the simulated board run
// it, one sample per LPF_TS. Its state s is 64 bits: y in the top 32, and 32
// bits of fraction below, which keep the output from stopping short of its
// steady state:
//
//   s[n] = sat64(ceil(Ky * s[n-1] / 2^32) + 2 * Ku * u[n]),   y = floor(s / 2^32)
//
// with Ky and Ku unsigned, u, y and s signed, and the arithmetic exact. A
// constant u settles with y within one LSB of 2 * Ku * u / (2^32 - Ky)
// (clamped to 32 bits), and the pole stays Ky / 2^32.
#pragma once

#include <cstdint>

struct FilterInputs {
    int32_t u;
    uint32_t Ku;
    uint32_t Ky;
};

// One sample.
int64_t filterStep(int64_t state, const FilterInputs &in);

// `samples` samples with the inputs held: the same result as calling
// filterStep that many times, in far fewer steps once the output is near
// rest, and none once it is there.
int64_t filterAdvance(int64_t state, const FilterInputs &in, uint64_t samples);

// The output register: the top 32 bits of the state.
int32_t filterOutput(int64_t state);
