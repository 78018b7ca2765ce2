// Conversions between the values the user types and reads and the LPf
// filter's 32-bit fixed-point registers. No hardware access.
#pragma once

#include <cstdint>

// Sampling period of the filter, in the unit the time constant is typed in,
// and in nanoseconds for a clock that runs the filter.
constexpr double LPF_TS = 1e-7;
constexpr int64_t LPF_TS_NS = 100;
static_assert(LPF_TS == LPF_TS_NS / 1e9, "one sampling period");

// Ku and Ky are written as fractions of 2^32 - 1; u (and y) per unit are
// fractions of 2^31 - 1; a coefficient register's 1.0 is 2^32.
constexpr double COEFFICIENT_SCALE = 4294967295.0;
constexpr double INPUT_SCALE = 2147483647.0;
constexpr double COEFFICIENT_ONE = 4294967296.0;

struct FilterCoefficients {
    uint32_t Ku;
    uint32_t Ky;
};

struct FilterInput {
    double value; // the input after clamping to [-1, 1]
    int32_t raw;  // the input register value
};

// Ky is the pole exp(-LPF_TS / tau) and Ku the gain (1 - pole) / 2 plus one,
// both scaled by 2^32 - 1; a tau that is not positive gives zeros.
FilterCoefficients filterCoefficients(double tau);

// Clamps v to [-1, 1] (a NaN passes unchanged) and scales it by 2^31 - 1.
FilterInput encodeFilterInput(double v);

// A coefficient register as the fraction k / 2^32, in single precision.
double decodeCoefficient(uint32_t k);

// The output register as y / 2^32 * 0.5, so that it spans -0.25 to 0.25.
double decodeFilterOutput(int32_t y);

// u or y as a per-unit value: the register over 2^31 - 1.
double perUnit(int32_t value);

// The time constant that the pole Ky / 2^32 = exp(-LPF_TS / tau) stands for.
double timeConstantOfPole(uint32_t Ky);

// Truncate toward zero; beyond the range give the nearest bound; NaN gives 0.
// A plain cast is undefined there, and x86 and ARM answer differently.
uint32_t saturateToUint32(double x);
int32_t saturateToInt32(double x);
