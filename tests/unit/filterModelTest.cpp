// The filter model that the simulated board runs and the design must equal.
#include "filterEncoding.h"
#include "filterModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

FilterInputs inputsFor(double tau, double perUnit)
{
    FilterCoefficients c = filterCoefficients(tau);
    return FilterInputs{encodeFilterInput(perUnit).raw, c.Ku, c.Ky};
}

int64_t stepMany(int64_t state, const FilterInputs &in, uint64_t samples)
{
    for (uint64_t i = 0; i < samples; ++i)
        state = filterStep(state, in);
    return state;
}

// The exact steady state 2 * Ku * u / (2^32 - Ky), clamped to the output's range.
long double steadyState(const FilterInputs &in)
{
    long double y = 2.0L * in.Ku * in.u / (4294967296.0L - in.Ky);
    return std::fmax(std::fmin(y, INT32_MAX), INT32_MIN);
}

int64_t stateOf(long double y)
{
    return static_cast<int64_t>(std::floor(y)) * 4294967296LL;
}

// Where each run starts, relative to the steady state.
enum class Start { Zero, OppositeEnd, ThousandBelow, ThousandAbove };

struct Settling {
    double tau;
    double perUnit;
    Start start;
};

// The console's time constants and inputs, positive and negative. The
// shortest settle from 0 or from the opposite end of the range; the long
// ones, which take minutes to hours, from a thousand LSB away, where the
// old floor-of-32-bits design had already stopped for good.
const Settling SETTLINGS[] = {
    {1e-7, 0.5, Start::Zero},          {1e-7, -1.0, Start::OppositeEnd},  {1e-6, 1.0, Start::OppositeEnd},
    {1e-5, 0.8, Start::Zero},          {1e-4, -0.8, Start::Zero},         {1e-3, 0.001, Start::OppositeEnd},
    {1e-2, -0.3, Start::Zero},         {0.5, 0.8, Start::ThousandBelow},  {10, 0.8, Start::ThousandBelow},
    {10, -0.8, Start::ThousandAbove},  {1000, 0.8, Start::ThousandAbove}, {1000, -1.0, Start::ThousandAbove},
    {INF, 0.25, Start::ThousandBelow}, {INF, -0.25, Start::ThousandAbove},
};

TEST(FilterModel, SettlesWithinOneLsbOfTheExactSteadyState)
{
    for (const Settling &row : SETTLINGS) {
        FilterInputs in = inputsFor(row.tau, row.perUnit);
        long double exact = steadyState(in);
        int64_t state = 0;
        switch (row.start) {
        case Start::Zero: break;
        case Start::OppositeEnd: state = exact > 0 ? INT64_MIN : INT64_MAX; break;
        case Start::ThousandBelow: state = stateOf(exact - 1000); break;
        case Start::ThousandAbove: state = stateOf(exact + 1000); break;
        }
        SCOPED_TRACE(testing::Message() << "tau " << row.tau << " u " << row.perUnit << " from " << state);
        state = filterAdvance(state, in, UINT64_MAX);
        EXPECT_EQ(filterStep(state, in), state) << "not at rest";
        EXPECT_LT(std::fabs(filterOutput(state) - exact), 1.0L) << "exact steady state " << static_cast<double>(exact);
    }
}

struct Response {
    double tau;
    double perUnit;
    uint64_t samples;
};

const Response RESPONSES[] = {
    {1e-7, 0.5, 1},        {1e-6, -1.0, 10},       {1e-6, 1.0, 30}, {3e-6, 0.001, 30},
    {1e-4, -0.5, 1000},    {1e-3, 0.9, 10000},     {0.5, 0.8, 5000000},
    {1000, 0.8, 10000000}, // a pole of 1 - 2^-31: 215 s, of which 1 s
};

// From rest at 0, y follows Y * (1 - pole^n) for the pole Ky / 2^32.
TEST(FilterModel, FollowsThePole)
{
    for (const Response &row : RESPONSES) {
        SCOPED_TRACE(testing::Message() << "tau " << row.tau << " u " << row.perUnit);
        FilterInputs in = inputsFor(row.tau, row.perUnit);
        long double pole = in.Ky / 4294967296.0L;
        long double expected = steadyState(in) * (1 - std::pow(pole, static_cast<long double>(row.samples)));
        int32_t y = filterOutput(filterAdvance(0, in, row.samples));
        EXPECT_NEAR(y, static_cast<double>(expected), 1e-3 * std::fabs(static_cast<double>(expected)) + 2);
    }
}

struct Extreme {
    const char *name;
    int64_t state;
    FilterInputs in;
    int32_t y;
};

const Extreme EXTREMES[] = {
    {"largest drive and feedback saturate high", 0, {INT32_MAX, UINT32_MAX, UINT32_MAX}, INT32_MAX},
    {"most negative drive saturates low", 0, {INT32_MIN, UINT32_MAX, UINT32_MAX}, INT32_MIN},
    {"a steady state beyond the range stays at the top", INT64_MAX, {INT32_MAX, 0x80000000u, 0x80000000u},
     INT32_MAX},
    {"full negative output stays there", INT64_MIN, {INT32_MIN, UINT32_MAX, UINT32_MAX}, INT32_MIN},
    {"zero coefficients hold 0", 0, {INT32_MAX, 0, 0}, 0},
    {"zero coefficients pull any output to 0", -123456789012345, {INT32_MIN, 0, 0}, 0},
    {"feedback only decays to exactly 0 from above", INT64_MAX, {0, 0, 0xFFFF0000u}, 0},
    {"feedback only decays to exactly 0 from below", INT64_MIN, {0, 0, 0xFFFF0000u}, 0},
};

TEST(FilterModel, ExtremesSaturateInsteadOfWrapping)
{
    for (const Extreme &row : EXTREMES) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(filterOutput(filterAdvance(row.state, row.in, 3000000)), row.y);
        EXPECT_EQ(filterOutput(stepMany(row.state, row.in, 3000000)), row.y);
    }
}

struct OneStep {
    const char *name;
    int64_t state;
    FilterInputs in;
    int64_t after;
};

const OneStep ONE_STEPS[] = {
    // 2 * Ku * u alone needs 65 bits; the sum fits again.
    {"drive beyond 64 bits, sum inside", INT64_MIN, {INT32_MAX, UINT32_MAX, UINT32_MAX}, 9223372026117357570},
    {"the decay rounds up, not down", -1, {0, 0, 1}, 0},
    {"the decay rounds up for positive states too", 1, {0, 0, 1}, 1},
    {"the drive is twice Ku * u", 0, {-1, 1, 0}, -2},
    {"a pole of 1 - 2^-32 takes s / 2^32 off", 5 * 4294967296LL, {0, 0, UINT32_MAX}, 5 * 4294967296LL - 5},
};

TEST(FilterModel, OneStepIsExact)
{
    for (const OneStep &row : ONE_STEPS) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(filterStep(row.state, row.in), row.after);
    }
    // y is the floor of the state over 2^32.
    EXPECT_EQ(filterOutput(-1), -1);
    EXPECT_EQ(filterOutput(4294967295LL), 0);
    EXPECT_EQ(filterOutput(INT64_MIN), INT32_MIN);
    EXPECT_EQ(filterOutput(INT64_MAX), INT32_MAX);
}

// The skipping advance must give exactly what stepping sample by sample gives.
TEST(FilterModel, AdvanceEqualsSteppingEverySample)
{
    std::mt19937_64 random(20261208);
    const uint32_t notableCoefficients[] = {0, 1, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    const int32_t notableInputs[] = {0, 1, -1, INT32_MAX, INT32_MIN};
    const int64_t notableStates[] = {0, 1, -1, INT64_MAX, INT64_MIN};
    for (int trial = 0; trial < 3000; ++trial) {
        FilterInputs in{};
        auto state = static_cast<int64_t>(random());
        switch (trial % 4) {
        case 0: { // coefficients the console writes
            double tau = std::pow(10.0, -7.5 + 5.0 * static_cast<double>(random() % 1000) / 1000.0);
            in = inputsFor(tau, -1.0 + 2.0 * static_cast<double>(random() % 2001) / 2000.0);
            break;
        }
        case 1: // anything at all
            in = FilterInputs{static_cast<int32_t>(random()), static_cast<uint32_t>(random()),
                              static_cast<uint32_t>(random())};
            break;
        case 2: // near rest with a slow pole: long runs of equal steps
            in = FilterInputs{static_cast<int32_t>(random()), static_cast<uint32_t>(random()) >> (random() % 32),
                              0xFFFFFFFFu - static_cast<uint32_t>(random() % 1000)};
            if (__builtin_add_overflow(stateOf(steadyState(in)),
                                       static_cast<int64_t>(random() % (uint64_t{1} << 45)) - (int64_t{1} << 44),
                                       &state))
                state = in.u > 0 ? INT64_MAX : INT64_MIN;
            break;
        default: // the edges
            in = FilterInputs{notableInputs[random() % 5], notableCoefficients[random() % 5],
                              notableCoefficients[random() % 5]};
            state = notableStates[random() % 5];
            break;
        }
        uint64_t samples = random() % 20000;
        SCOPED_TRACE(testing::Message() << "state " << state << " u " << in.u << " Ku " << in.Ku << " Ky " << in.Ky
                                        << " samples " << samples);
        ASSERT_EQ(filterAdvance(state, in, samples), stepMany(state, in, samples));
    }
}

} // namespace
