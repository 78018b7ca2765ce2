// The LPf filter core as the simulated board runs it, one sample per LPF_TS:
//
//   y[n] = sat32(floor((Ky * y[n-1] + 2 * Ku * u[n]) / 2^32))
//
// with Ky and Ku unsigned, u and y signed, and the arithmetic exact.
#pragma once

#include <cstdint>

struct FilterInputs {
    int32_t u;
    uint32_t Ku;
    uint32_t Ky;
};

// One sample.
int32_t filterStep(int32_t y, const FilterInputs &in);

// `samples` samples with the inputs held: the same result as calling
// filterStep that many times, in far fewer steps.
int32_t filterAdvance(int32_t y, const FilterInputs &in, uint64_t samples);
