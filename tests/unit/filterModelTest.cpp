// The simulated board's filter model.
#include "filterEncoding.h"
#include "filterModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

namespace {

constexpr int32_t FULL = INT32_MAX;

FilterInputs inputsFor(double tau, double perUnit)
{
    FilterCoefficients c = filterCoefficients(tau);
    return FilterInputs{encodeFilterInput(perUnit).raw, c.Ku, c.Ky};
}

int32_t stepMany(int32_t y, const FilterInputs &in, uint64_t samples)
{
    for (uint64_t i = 0; i < samples; ++i)
        y = filterStep(y, in);
    return y;
}

struct Response {
    double tau;
    double perUnit;
};

const Response RESPONSES[] = {
    {1e-7, 0.5}, {1e-7, -1.0}, {1e-6, 1.0}, {1e-6, -0.25}, {3e-6, 0.001}, {1e-5, 0.75}, {1e-4, -0.5}, {1e-3, 0.9},
};

TEST(FilterModel, SettlesAtTheInput)
{
    for (const Response &row : RESPONSES) {
        SCOPED_TRACE(testing::Message() << "tau " << row.tau << " u " << row.perUnit);
        FilterInputs in = inputsFor(row.tau, row.perUnit);
        int32_t y = filterAdvance(0, in, static_cast<uint64_t>(40 * row.tau / LPF_TS));
        EXPECT_NEAR(y, in.u, 1e-5 * FULL);
        EXPECT_EQ(filterStep(y, in), y) << "settled output is not at rest";
    }
}

TEST(FilterModel, ReachesOneMinusOneOverEAfterOneTimeConstant)
{
    for (const Response &row : RESPONSES) {
        SCOPED_TRACE(testing::Message() << "tau " << row.tau << " u " << row.perUnit);
        FilterInputs in = inputsFor(row.tau, row.perUnit);
        auto samples = static_cast<uint64_t>(std::lround(row.tau / LPF_TS));
        int32_t y = filterAdvance(0, in, samples);
        double expected = (1 - std::exp(-1.0)) * in.u;
        EXPECT_NEAR(y, expected, 0.01 * std::fabs(expected));
    }
}

struct Extreme {
    const char *name;
    int32_t y;
    FilterInputs in;
    int32_t after;
};

const Extreme EXTREMES[] = {
    {"largest drive and feedback saturate high", 0, {INT32_MAX, UINT32_MAX, UINT32_MAX}, INT32_MAX},
    {"most negative drive saturates low", 0, {INT32_MIN, UINT32_MAX, UINT32_MAX}, INT32_MIN},
    {"full output stays full", INT32_MAX, {INT32_MAX, UINT32_MAX, UINT32_MAX}, INT32_MAX},
    {"full negative output stays there", INT32_MIN, {INT32_MIN, UINT32_MAX, UINT32_MAX}, INT32_MIN},
    {"zero coefficients hold 0", 0, {INT32_MAX, 0, 0}, 0},
    {"zero coefficients pull any output to 0", -123456, {INT32_MIN, 0, 0}, 0},
    {"feedback only decays toward 0", INT32_MAX, {0, 0, 0x80000000u}, 0},
};

TEST(FilterModel, ExtremesSaturateInsteadOfWrapping)
{
    for (const Extreme &row : EXTREMES) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(filterAdvance(row.y, row.in, 10000), row.after);
        EXPECT_EQ(stepMany(row.y, row.in, 10000), row.after);
    }
}

TEST(FilterModel, OneStepIsExact)
{
    // (0xFFFFFFFF * -2^31 + 2 * 0xFFFFFFFF * (2^31 - 1)) / 2^32, floored: the sum needs 65 bits.
    EXPECT_EQ(filterStep(INT32_MIN, FilterInputs{INT32_MAX, UINT32_MAX, UINT32_MAX}), 2147483645);
    // floor rounds toward minus infinity: -1 * 1 / 2^32 floors to -1, not 0.
    EXPECT_EQ(filterStep(-1, FilterInputs{0, 0, 1}), -1);
    EXPECT_EQ(filterStep(1, FilterInputs{0, 0, 1}), 0);
    EXPECT_EQ(filterStep(0, FilterInputs{-1, 1, 0}), -1);
}

// The run-skipping advance must give exactly what stepping sample by sample gives.
TEST(FilterModel, AdvanceEqualsSteppingEverySample)
{
    std::mt19937_64 random(20261208);
    const uint32_t notableCoefficients[] = {0, 1, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    const int32_t notableValues[] = {0, 1, -1, INT32_MAX, INT32_MIN};
    for (int trial = 0; trial < 3000; ++trial) {
        FilterInputs in{};
        int32_t y = 0;
        switch (trial % 3) {
        case 0: { // coefficients the console writes
            double tau = std::pow(10.0, -7.5 + 5.0 * static_cast<double>(random() % 1000) / 1000.0);
            in = inputsFor(tau, -1.0 + 2.0 * static_cast<double>(random() % 2001) / 2000.0);
            y = static_cast<int32_t>(random());
            break;
        }
        case 1: // anything at all
            in = FilterInputs{static_cast<int32_t>(random()), static_cast<uint32_t>(random()),
                              static_cast<uint32_t>(random())};
            y = static_cast<int32_t>(random());
            break;
        default: // the edges
            in = FilterInputs{notableValues[random() % 5], notableCoefficients[random() % 5],
                              notableCoefficients[random() % 5]};
            y = notableValues[random() % 5];
            break;
        }
        uint64_t samples = random() % 20000;
        SCOPED_TRACE(testing::Message() << "y " << y << " u " << in.u << " Ku " << in.Ku << " Ky " << in.Ky
                                        << " samples " << samples);
        ASSERT_EQ(filterAdvance(y, in, samples), stepMany(y, in, samples));
    }
}

} // namespace
